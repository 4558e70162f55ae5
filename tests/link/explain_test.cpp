// Which explanation a failure gets: the code and the platform's account of
// it pick the text and what goes into it.
#include <gtest/gtest.h>

#include "explain.h"

namespace {

TEST(Explanation, EachFailurePicksItsTextAndArguments) {
  const LinkFailure denied{LINK_FAILURE_NO_ACCESS, "/dev/sdb", "Permission denied (errno 13)"};
  const LinkFailure busy{LINK_FAILURE_IN_USE, "/dev/sdb", "Device or resource busy (errno 16)"};
  const LinkFailure gone{LINK_FAILURE_GONE, "/dev/sdb", "No such device (errno 19)"};
  const LinkFailure image{LINK_FAILURE_GONE, "/fw/MASTER.DAT",
                          "No such file or directory (errno 2)"};
  const LinkFailure write{LINK_FAILURE_OTHER, "/dev/sdb",
                          "Write Disk File: Input/output error (errno 5)"};
  const struct {
    int32_t code;
    LinkFailure failure;
    int32_t notCompleted;
    int32_t id;
    std::vector<std::string> arguments;
  } cases[] = {
      {LINK_DISK_NOT_OPEN, denied, 0, 7803, {"/dev/sdb"}},
      {LINK_DISK_NOT_OPEN, busy, 0, 7804, {"/dev/sdb"}},
      {LINK_DISK_NOT_OPEN, gone, 0, 7805, {"/dev/sdb", "No such device (errno 19)"}},
      {LINK_IMAGE_OPEN_FAILED,
       image,
       0,
       7802,
       {"/fw/MASTER.DAT", "No such file or directory (errno 2)"}},
      {LINK_IMAGE_READ_FAILED,
       image,
       0,
       7802,
       {"/fw/MASTER.DAT", "No such file or directory (errno 2)"}},
      {LINK_WRITE_FAILED, write, 0, 7806, {"Write Disk File: Input/output error (errno 5)"}},
      {LINK_FLUSH_FAILED, {}, 0, 7806, {"the calculator's disk did not take the written data"}},
      {LINK_NO_CALCULATOR, {}, 0, 7807, {}},
      {LINK_NO_CALCULATOR, {}, 2, 7800, {"2"}},
      {LINK_CALCULATOR_MISSING, {}, 3, 7800, {"3"}},
      {LINK_TOO_MANY_CALCULATORS, {}, 0, 7801, {}},
      {LINK_SECTOR_SIZE_UNSUPPORTED, {}, 0, 7808, {}},
      {LINK_IMAGE_TOO_LARGE, {}, 0, 7809, {}},
      {LINK_BUFFER_ALLOC_FAILED, {}, 0, 7810, {}},
      {LINK_UPDATE_INCOMPLETE, {}, 1, 0, {}},
      {LINK_BAD_REQUEST_KIND, {}, 0, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const LinkExplanation explanation = ExplainLinkFailure(c.code, c.failure, c.notCompleted);
    EXPECT_EQ(explanation.textId, c.id);
    EXPECT_EQ(explanation.arguments, c.arguments);
  }
  // The tools print the English text with its arguments in place, once each.
  const LinkExplanation odd =
      ExplainLinkFailure(LINK_DISK_NOT_OPEN, {LINK_FAILURE_GONE, "/x%2", "gone"}, 0);
  EXPECT_EQ(
      FormatExplanation(odd),
      "The calculator's disk (/x%2) cannot be opened: gone. Unplug the calculator and connect it again.");
}

}  // namespace
