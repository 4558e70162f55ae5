// What a link entry's report tells an update session, in the order it
// happened: the discovery passes before the entry's work, each calculator's
// outcome, then the passes after it. Shared by every front end that drives a
// session over the link (norza-link update, norza-station).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "link.h"
#include "update_session.h"

namespace norza::session {

// A calculator's failure in words (empty on success).
std::string FailureWords(const CalculatorReport& calculator);

std::vector<Outcome> OutcomesOf(const LinkReport& report);

// The passes [from, to) of a report, with who each calculator is where the
// report tells it.
void NotePasses(UpdateSession& session, const LinkReport& report, std::size_t from, std::size_t to);

// The order that writes the step's image to the step's calculators, with
// each one's progress to progress(context, path, percent). The step must
// outlive the order.
TransferOrder OrderFor(const UpdateSession& session, const Step& step,
                       CalculatorProgressCallback progress, void* context);

// One discovery pass of the calculators; the listing's result (121: more
// than 16 attached).
int32_t Poll(UpdateSession& session);

template <typename Note>
std::vector<Outcome> Feed(UpdateSession& session, const LinkReport& report, Note&& note) {
  NotePasses(session, report, 0, report.passesBefore);
  std::vector<Outcome> outcomes = OutcomesOf(report);
  note(outcomes);
  NotePasses(session, report, report.passesBefore, report.passes.size());
  return outcomes;
}

}  // namespace norza::session
