// The libxl.so built with this program, carried inside the executable.
#pragma once

#include "app/library_deploy.h"

LibraryImage embeddedLibraryImage();
