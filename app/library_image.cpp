#include "app/library_image.h"

// Bounds of the library file included by library_image.S.
extern "C" const unsigned char quorvaneLibraryImageStart[];
extern "C" const unsigned char quorvaneLibraryImageEnd[];

LibraryImage embeddedLibraryImage() {
  return {quorvaneLibraryImageStart,
          std::size_t(quorvaneLibraryImageEnd - quorvaneLibraryImageStart)};
}
