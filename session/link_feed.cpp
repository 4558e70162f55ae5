#include "link_feed.h"

#include <map>

#include "explain.h"

namespace norza::session {

std::string FailureWords(const CalculatorReport& calculator) {
  if (calculator.code == LINK_OK) return {};
  const LinkExplanation explanation = ExplainLinkFailure(calculator.code, calculator.failure, 0);
  if (explanation.textId != 0) return FormatExplanation(explanation);
  return LinkResultMeaning(calculator.code);
}

std::vector<Outcome> OutcomesOf(const LinkReport& report) {
  std::vector<Outcome> outcomes;
  for (const CalculatorReport& calculator : report.calculators) {
    outcomes.push_back({calculator.interfacePath, calculator.code, calculator.gone,
                        FailureWords(calculator), calculator.serial, calculator.port,
                        calculator.deviceNode});
  }
  return outcomes;
}

void NotePasses(UpdateSession& session, const LinkReport& report, std::size_t from,
                std::size_t to) {
  std::map<std::wstring, Identity> known;
  for (const CalculatorReport& c : report.listed)
    known[c.interfacePath] = {c.interfacePath, c.serial, c.port, c.deviceNode};
  for (const CalculatorReport& c : report.calculators)
    known[c.interfacePath] = {c.interfacePath, c.serial, c.port, c.deviceNode};
  for (std::size_t i = from; i < to && i < report.passes.size(); ++i) {
    std::vector<Identity> listed;
    for (const std::wstring& path : report.passes[i]) {
      const auto found = known.find(path);
      listed.push_back(found != known.end() ? found->second : Identity{path, {}, {}, {}});
    }
    session.NotePass(listed);
  }
}

TransferOrder OrderFor(const UpdateSession& session, const Step& step,
                       CalculatorProgressCallback progress, void* context) {
  const Image& image = session.images()[static_cast<std::size_t>(step.image)];
  TransferOrder order;
  order.imagePath = image.path.c_str();
  order.examined = &image.facts;
  order.targetOffset = image.offset;
  order.only = &step.calculators;
  order.calculatorProgress = progress;
  order.context = context;
  return order;
}

int32_t Poll(UpdateSession& session) {
  LinkReport report;
  ListCalculators(kCalculatorVendor, kCalculatorProduct, &report);
  NotePasses(session, report, 0, report.passes.size());
  return report.result;
}

}  // namespace norza::session
