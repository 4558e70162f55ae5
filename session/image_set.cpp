#include "image_set.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "platform.h"

namespace norza::session {

std::wstring AsciiUpper(const std::wstring& name) {
  std::wstring upper = name;
  for (wchar_t& c : upper) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return upper;
}

bool IsPrefixedImageName(const std::wstring& name) {
  const std::wstring upper = AsciiUpper(name);
  return upper == L"NORZA_APP.DAT" || upper == L"NORZA_OS.ROM" || upper == L"NORZA_MASTER.DAT";
}

bool IsLegacyImageName(const std::wstring& name) {
  const std::wstring upper = AsciiUpper(name);
  return upper == L"APPSDISK.DAT" || upper == L"KORVAARM.ROM" || upper == L"MASTER.DAT";
}

int64_t TargetOffsetFor(const std::wstring& name) {
  const std::wstring upper = AsciiUpper(name);
  if (upper == L"APPSDISK.DAT" || upper == L"NORZA_APP.DAT") return 0x500000;
  if (upper == L"MASTER.DAT" || upper == L"NORZA_MASTER.DAT") return 0x100000;
  return 0;  // KORVAARM.ROM, NORZA_OS.ROM
}

// The operating system image ends where the master image begins, the master
// image where the application image begins; the application image is bound
// by the disk, which the transfer checks. (The command window at 87040 lies
// inside the operating system image's range by the disk's design.)
int64_t LargestSizeAt(int64_t targetOffset) {
  if (targetOffset == 0) return 0x100000;
  if (targetOffset == 0x100000) return 0x400000;
  return -1;
}

std::vector<Image> ImageSet::Images() const {
  std::vector<Image> images;
  if (!complete) return images;
  for (const ImageCandidate& candidate : accepted) {
    images.push_back(
        {candidate.path, platform::WideToUtf8(candidate.name), candidate.offset, candidate.facts});
  }
  return images;
}

namespace {

// Three entries make a set only when they are three different kinds: on a
// file system that tells letter case apart, MASTER.DAT and master.dat are
// two files of one kind.
bool ThreeKinds(const std::vector<ImageCandidate>& accepted) {
  if (accepted.size() != 3) return false;
  std::set<std::wstring> kinds;
  for (const ImageCandidate& candidate : accepted) kinds.insert(AsciiUpper(candidate.name));
  return kinds.size() == 3;
}

// An image that is empty or no regular file would end in "Done" with
// nothing written; one too large would overwrite the next.
LinkExplanation RefusalOf(const std::vector<ImageCandidate>& accepted) {
  for (const ImageCandidate& candidate : accepted) {
    const std::string name = platform::WideToUtf8(candidate.name);
    if (candidate.examined != LINK_OK) {
      return ExplainLinkFailure(candidate.examined,
                                LinkFailure{LINK_FAILURE_OTHER, name, candidate.examineText}, 0);
    }
    const int64_t largest = LargestSizeAt(candidate.offset);
    if (largest >= 0 && candidate.facts.size > largest) return ExplainImageTooLarge(name, largest);
  }
  return {};
}

}  // namespace

ImageSet FindImageSet(const std::vector<FolderFile>& listing) {
  ImageSet set;
  // One file of the prefixed set is enough to ignore the whole legacy set.
  set.prefixed = std::any_of(listing.begin(), listing.end(),
                             [](const FolderFile& file) { return IsPrefixedImageName(file.name); });
  for (const FolderFile& file : listing) {
    const bool accepted =
        set.prefixed ? IsPrefixedImageName(file.name) : IsLegacyImageName(file.name);
    if (!accepted) continue;
    ImageCandidate candidate;
    candidate.name = file.name;
    candidate.path = file.path;
    candidate.offset = TargetOffsetFor(file.name);
    candidate.examined =
        ExamineImageFile(file.path.c_str(), &candidate.facts, &candidate.examineText);
    set.accepted.push_back(std::move(candidate));
  }
  if (ThreeKinds(set.accepted)) {
    set.refusal = RefusalOf(set.accepted);
    set.complete = set.refusal.textId == 0;
  }
  return set;
}

std::vector<FolderFile> ListFolder(const std::wstring& folder) {
  namespace fs = std::filesystem;
  std::vector<FolderFile> files;
  std::error_code error;
  if (folder.empty()) return files;
  const fs::path root = fs::u8path(platform::WideToUtf8(folder));
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const std::wstring name = platform::Utf8ToWide(it->path().filename().u8string());
    if (name.empty() || name[0] == L'.') continue;
    std::error_code kind;
    if (!fs::is_regular_file(it->status(kind))) continue;
    files.push_back({name, platform::Utf8ToWide(fs::absolute(it->path(), kind).u8string())});
  }
  std::sort(files.begin(), files.end(), [](const FolderFile& a, const FolderFile& b) {
    return AsciiUpper(a.name) < AsciiUpper(b.name);
  });
  return files;
}

}  // namespace norza::session
