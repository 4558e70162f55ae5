// The firmware image set of a folder, Qt-free: which file names make up a
// set, where each image goes on the calculator's disk, in which order the
// images are written, and when a set cannot be written as it is. The
// window's scan and `norza-link update` both use it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "explain.h"
#include "link.h"
#include "update_session.h"

namespace norza::session {

// One file of the folder, in the folder's listing order (files only, no
// hidden ones, by name ignoring case).
struct FolderFile {
  std::wstring name;  // as listed, in the letter case found on disk
  std::wstring path;  // the path the transfer opens
};

// One accepted file of the set, examined on its open handle.
struct ImageCandidate {
  std::wstring name;
  std::wstring path;
  int64_t offset = 0;       // where it goes on the calculator's disk
  int32_t examined = 0;     // the link's code for the look (0: usable)
  std::string examineText;  // why it is not usable, in words
  ImageFileFacts facts;
};

struct ImageSet {
  bool prefixed = false;                 // the NORZA_ names won
  std::vector<ImageCandidate> accepted;  // in listing order, which is transfer order
  bool complete = false;                 // three usable images of three kinds that fit
  LinkExplanation refusal;               // why a set of three cannot be written (textId 0: none)
  std::vector<Image> Images() const;     // for an update session, when complete
};

// Upper case of a-z only: "appſdisk.dat" (U+017F) is no APPSDISK.DAT.
std::wstring AsciiUpper(const std::wstring& name);
bool IsPrefixedImageName(const std::wstring& name);
bool IsLegacyImageName(const std::wstring& name);
// Target offset of an image by its name (0x500000, 0x100000 or 0).
int64_t TargetOffsetFor(const std::wstring& name);
// The most an image at this offset may hold before it runs into the next
// one on the disk; -1 where only the disk bounds it.
int64_t LargestSizeAt(int64_t targetOffset);

// The set in a folder's listing. Examines every accepted file (without
// waiting for a FIFO's writer).
ImageSet FindImageSet(const std::vector<FolderFile>& listing);

// The folder's files as the window lists them: regular files (and links to
// them), no hidden ones (a leading '.'), sorted by name ignoring ASCII case.
// Empty when the folder does not exist.
std::vector<FolderFile> ListFolder(const std::wstring& folder);

}  // namespace norza::session
