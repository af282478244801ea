// The publisher's side of binary patches (archive/BinaryPatch.h has the
// format): finds how a new file differs from its old version.
//
// The old file is indexed by its suffix array (libdivsufsort). The new file
// is scanned for the longest exact match in the old one; a match is taken
// only when it beats the current alignment by a margin, and each alignment
// is stretched forward and back over the bytes where most still agree, so
// that code whose addresses moved becomes a run of small differences (which
// compress to little) rather than new bytes. What no alignment covers goes
// into the extra stream.
//
// Memory: the two files and four bytes per byte of the old file. Time: about
// a second per few megabytes on executables. Old files of 2 GiB and more
// are not indexed: MakePatch returns false and the caller stores the file whole.
#pragma once

#include <string>

bool MakePatch(const std::string& old, const std::string& now, std::string& patch);
