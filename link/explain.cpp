#include "explain.h"

namespace {

LinkExplanation Make(int32_t id, const char* english, std::vector<std::string> arguments = {}) {
  LinkExplanation explanation;
  explanation.textId = id;
  explanation.english = english;
  explanation.arguments = std::move(arguments);
  return explanation;
}

}  // namespace

LinkExplanation ExplainLinkFailure(int32_t code, const LinkFailure& failure, int32_t notCompleted) {
  const std::string& subject = failure.subject;
  switch (code) {
    case LINK_OK:
    case LINK_UPDATE_INCOMPLETE: return {};
    case LINK_CALCULATOR_MISSING:
      return Make(7800, "Calculators not updated: %1. Reconnect them and start the update again.",
                  {std::to_string(notCompleted > 0 ? notCompleted : 1)});
    case LINK_TOO_MANY_CALCULATORS: return Make(7801, "Connect at most 16 calculators at a time.");
    case LINK_NO_CALCULATOR:
      if (notCompleted > 0) {
        return Make(7800, "Calculators not updated: %1. Reconnect them and start the update again.",
                    {std::to_string(notCompleted)});
      }
      return Make(
          7807,
          "No calculator in update mode was found. Put the calculator in update mode and connect it again.");
    case LINK_IMAGE_OPEN_FAILED:
    case LINK_IMAGE_READ_FAILED:
      return Make(
          7802,
          "The image file %1 cannot be read: %2. Check that it is there and that you may read it.",
          {subject, failure.systemText});
    case LINK_DISK_NOT_OPEN:
      switch (failure.kind) {
        case LINK_FAILURE_NO_ACCESS:
          return Make(
              7803,
              "You may not write to the calculator's disk (%1). Install the updater's udev rule, then "
              "unplug the calculator and connect it again; or run the updater once as administrator.",
              {subject});
        case LINK_FAILURE_IN_USE:
          return Make(
              7804,
              "The calculator's disk (%1) is in use: it is mounted or another program holds it. "
              "Unmount it or close that program, then try again.",
              {subject});
        default:
          return Make(
              7805,
              "The calculator's disk (%1) cannot be opened: %2. Unplug the calculator and connect it again.",
              {subject, failure.systemText});
      }
    case LINK_WRITE_FAILED:
    case LINK_FLUSH_FAILED:
    case LINK_DATA_NOT_ACKED:
    case LINK_SIZE_CHECK_FAILED:
      return Make(
          7806,
          "Writing to the calculator failed: %1. Check the cable, unplug the calculator and connect it again.",
          {failure.systemText.empty() ? std::string(LinkResultMeaning(code)) : failure.systemText});
    case LINK_SECTOR_SIZE_UNSUPPORTED:
      return Make(
          7808, "This disk does not have 512-byte sectors: it is not a calculator in update mode.");
    case LINK_IMAGE_TOO_LARGE:
      return Make(
          7809,
          "The image does not fit on the calculator's disk. Check that the update files are meant for "
          "this calculator.");
    case LINK_IMAGE_CHANGED:
      return Make(7819,
                  "The image file changed while the update ran: wait until it is copied "
                  "completely, then start again");
    case LINK_IMAGE_UNUSABLE:
      return Make(7820,
                  "The file %1 is no firmware image: %2. Copy the update files into the folder "
                  "again.",
                  {subject, failure.systemText});
    case LINK_NO_WRITER_THREAD:
    case LINK_BUFFER_ALLOC_FAILED:
      return Make(7810, "The updater ran out of resources. Close other programs and try again.");
    default: return {};  // a request the updater never makes, or a code it does not know
  }
}

LinkExplanation ExplainImageTooLarge(const std::string& fileName, int64_t largestSize) {
  return Make(7821,
              "The image file %1 is larger than the %2 bytes it may have: it would overwrite the "
              "next image. Check that the update files are meant for this calculator.",
              {fileName, std::to_string(largestSize)});
}

std::string FormatExplanation(const LinkExplanation& explanation) {
  // One pass, so an argument that happens to contain "%2" stays as it is.
  const std::string format = explanation.english;
  std::string text;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char next = i + 1 < format.size() ? format[i + 1] : '\0';
    const std::size_t index = static_cast<std::size_t>(next - '1');
    if (format[i] == '%' && next >= '1' && next <= '9' && index < explanation.arguments.size()) {
      text += explanation.arguments[index];
      ++i;
    } else {
      text += format[i];
    }
  }
  return text;
}
