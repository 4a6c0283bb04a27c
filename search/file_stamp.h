// What the cell cache notes of a workbook file to know it unchanged, and
// when such a note can be trusted.
#pragma once

#include <cstdint>

struct FileStamp {
  uint64_t device = 0, inode = 0;
  int64_t size = 0, modifiedNs = 0, changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// The wall clock file times are taken from, in nanoseconds since 1970.
int64_t wallClockNs();

// The step a file system's clock could have cut `timeNs` to: a time on a
// whole second is taken as from a file system of 1- or 2-second steps (ext4
// with small inodes, FAT, many network mounts): 2 s; a time with a fraction
// was cut at most to the writing system's clock tick: 20 ms.
int64_t timestampStepNs(int64_t timeNs);

// Whether a file stamped `stamp` when looked at `lookedAtNs` (a wallClockNs()
// taken before the stat) may be kept: both its times lie at least their
// step before that moment, so any later write of the file gives it other
// times. A file written within its times' step could be written again
// without its stamp changing (as git's racily clean index entries): not kept.
bool isSettled(const FileStamp& stamp, int64_t lookedAtNs);
