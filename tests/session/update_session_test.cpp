// The course of one update, driven by results alone: no threads, no Qt, no
// calculators.
#include <gtest/gtest.h>

#include <algorithm>

#include "update_session.h"

namespace norza::session {
namespace {

std::vector<Image> ThreeImages() {
  return {{L"/fw/APPSDISK.DAT", "APPSDISK.DAT", 0x500000, {}},
          {L"/fw/KORVAARM.ROM", "KORVAARM.ROM", 0, {}},
          {L"/fw/MASTER.DAT", "MASTER.DAT", 0x100000, {}}};
}

Identity Calc(const std::wstring& path, const std::string& port = "") {
  return {path, std::string(path.begin(), path.end()), port, {}};
}

Outcome Out(const std::wstring& path, int32_t code, bool gone = false,
            const std::string& why = {}) {
  Outcome outcome;
  outcome.interfacePath = path;
  outcome.code = code;
  outcome.gone = gone;
  outcome.reason = why;
  return outcome;
}

std::vector<Outcome> Ok(std::initializer_list<std::wstring> paths) {
  std::vector<Outcome> out;
  for (const std::wstring& path : paths) out.push_back(Out(path, LINK_OK));
  return out;
}

// Runs what Next() asks for with every calculator answering ok; returns the
// kinds and images seen, e.g. "T0 T1 T2 F".
std::string RunOk(UpdateSession& session, std::initializer_list<std::wstring> attached,
                  int steps = 8) {
  std::string trace;
  for (int i = 0; i < steps; ++i) {
    const Step step = session.Next();
    if (step.kind == Step::Kind::Transfer) {
      trace += "T" + std::to_string(step.image) + " ";
      std::vector<Outcome> outcomes;
      for (const std::wstring& path : attached) {
        if (session.policy() == Policy::AllTogether ||
            std::find(step.calculators.begin(), step.calculators.end(), path) !=
                step.calculators.end())
          outcomes.push_back(Out(path, LINK_OK));
      }
      session.NoteTransfer(step.image, LINK_OK, outcomes);
    } else if (step.kind == Step::Kind::Finish) {
      trace += "F ";
      session.NoteFinish(LINK_OK, Ok(attached));
    } else {
      break;
    }
  }
  if (!trace.empty()) trace.pop_back();
  return trace;
}

TEST(AllTogether, ImagesInOrderThenTheFinishThenDone) {
  UpdateSession session(Policy::AllTogether, ThreeImages());
  EXPECT_EQ(RunOk(session, {L"a", L"b"}), "T0 T1 T2 F");
  EXPECT_EQ(session.end(), End::Done);
  EXPECT_TRUE(session.NotCompleted().empty());
  for (const auto& [path, calculator] : session.calculators()) {
    EXPECT_TRUE(calculator.finished);
    EXPECT_EQ(calculator.activity, Activity::Finished);
  }
}

// Late, missing and returning calculators, and what counts as a failure:
// the update is never finished while one lacks an image, only new progress
// starts the attempts again, and the sixth failure ends it.
TEST(AllTogether, LateMissingAndReturningCalculators) {
  UpdateSession session(Policy::AllTogether, ThreeImages());
  session.NoteTransfer(0, LINK_OK, Ok({L"a"}));
  session.NoteTransfer(1, LINK_OK, Ok({L"a", L"b"}));  // b came late
  session.NoteTransfer(2, LINK_OK, Ok({L"a", L"b"}));
  EXPECT_EQ(session.Next().image, 0) << "b lacks the first image";
  session.NoteTransfer(0, LINK_OK, Ok({L"a", L"b"}));
  ASSERT_EQ(session.Next().kind, Step::Kind::Finish);
  EXPECT_TRUE(session.Next().onlyThese);

  // The finish found c plugged in: no failure, c joins and needs everything.
  EXPECT_EQ(session.NoteFinish(LINK_UPDATE_INCOMPLETE,
                               {Out(L"a", LINK_OK, false), Out(L"b", LINK_OK, false),
                                Out(L"c", LINK_UPDATE_INCOMPLETE, false)}),
            LINK_UPDATE_INCOMPLETE);
  EXPECT_EQ(session.failures(), 0);
  EXPECT_EQ(session.Next().image, 0);
  EXPECT_FALSE(session.Whole());

  // b went away: what comes back holds nothing, and writing the images
  // again is no new progress.
  session.NoteTransfer(0, LINK_OK, Ok({L"a", L"c"}));
  EXPECT_EQ(session.failures(), 1) << "b was missing: 119";
  session.NotePass({Calc(L"a"), Calc(L"b"), Calc(L"c")});
  EXPECT_EQ(session.calculators().at(L"b").ImagesHeld(), 0);
  for (int image : {0, 1, 2}) session.NoteTransfer(image, LINK_OK, Ok({L"a", L"b", L"c"}));
  EXPECT_EQ(session.failures(), 1);
  ASSERT_EQ(session.Next().kind, Step::Kind::Finish);

  for (int attempt = 2; attempt <= kAttempts; ++attempt) {
    EXPECT_EQ(session.end(), End::Running);
    session.NoteFinish(LINK_CALCULATOR_MISSING, Ok({L"a", L"b"}));
  }
  EXPECT_EQ(session.end(), End::Failed);
  EXPECT_EQ(session.endCode(), LINK_CALCULATOR_MISSING);
  EXPECT_EQ(session.Next().kind, Step::Kind::End);
}

TEST(AllTogether, ACalculatorFoundGoneHoldsNothing) {
  UpdateSession session(Policy::AllTogether, ThreeImages());
  session.NoteTransfer(0, LINK_OK, Ok({L"a", L"b"}));
  session.NoteTransfer(1, LINK_WRITE_FAILED,
                       {Out(L"a", LINK_OK, false), Out(L"b", LINK_WRITE_FAILED, true, "gone")});
  const Calculator& b = session.calculators().at(L"b");
  EXPECT_EQ(b.ImagesHeld(), 0);
  EXPECT_EQ(b.activity, Activity::Missing);
  EXPECT_EQ(session.Next().image, 0);
}

// One calculator whose writes always fail holds back nobody: it is given up
// after its six attempts and never finished; the others are written and
// finished, and the end names it with its reason.
TEST(PerCalculator, AFailingCalculatorIsGivenUpAndTheOthersGoOn) {
  UpdateSession session(Policy::PerCalculator, ThreeImages());
  EXPECT_EQ(session.Next().kind, Step::Kind::Wait);
  session.NotePass({Calc(L"good", "1-2"), Calc(L"bad", "1-1")});
  std::string trace;
  for (Step step = session.Next(); step.kind != Step::Kind::End && trace.size() < 100;
       step = session.Next()) {
    std::vector<Outcome> outcomes;
    for (const std::wstring& path : step.calculators) {
      const bool fails = path == L"bad" && step.kind == Step::Kind::Transfer;
      outcomes.push_back(fails ? Out(path, LINK_WRITE_FAILED, false, "write failed")
                               : Out(path, LINK_OK, false));
    }
    if (step.kind == Step::Kind::Finish) {
      trace += "F ";
      session.NoteFinish(LINK_OK, outcomes);
    } else {
      trace += "T" + std::to_string(step.image) + (step.calculators.size() == 2 ? "+ " : " ");
      session.NoteTransfer(step.image, LINK_OK, outcomes);
    }
  }
  // The good one goes on while the bad one fails, and is finished first.
  EXPECT_EQ(trace, "T0+ T1 T2 F T0 T0 T0 T0 T0 ");
  EXPECT_TRUE(session.calculators().at(L"good").finished);
  EXPECT_EQ(session.end(), End::Failed);
  EXPECT_EQ(session.endCode(), LINK_WRITE_FAILED);
  const std::vector<const Calculator*> left = session.NotCompleted();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]->identity.interfacePath, L"bad");
  EXPECT_EQ(left[0]->activity, Activity::Failed);
  EXPECT_FALSE(left[0]->finished);
  EXPECT_EQ(left[0]->reason, "write failed");
  EXPECT_EQ(session.Ordered().front()->identity.port, "1-1") << "ordered by port";
}

// Only those lacking an image get it; one unplugged mid-image holds nothing,
// and a calculator that holds every image is told at once.
TEST(PerCalculator, TransfersGoToWhoLacksTheImageAndTheWholeAreToldAtOnce) {
  UpdateSession session(Policy::PerCalculator, ThreeImages());
  session.NotePass({Calc(L"a"), Calc(L"b")});
  session.NoteTransfer(0, LINK_OK, Ok({L"a", L"b"}));
  session.NoteTransfer(1, LINK_WRITE_FAILED,
                       {Out(L"a", LINK_OK, false), Out(L"b", LINK_WRITE_FAILED, true, "gone")});
  EXPECT_EQ(session.calculators().at(L"b").activity, Activity::Missing);
  Step step = session.Next();
  EXPECT_EQ(step.image, 2);
  EXPECT_EQ(step.calculators, std::vector<std::wstring>{L"a"});
  session.NoteTransfer(2, LINK_OK, Ok({L"a"}));
  step = session.Next();
  ASSERT_EQ(step.kind, Step::Kind::Finish) << "a is told at once, b may never come back";
  session.NoteFinish(LINK_OK, Ok({L"a"}));
  session.NotePass({});  // a, told, is unplugged as it should be: it stays updated
  EXPECT_EQ(session.calculators().at(L"a").activity, Activity::Finished);
  EXPECT_EQ(session.calculators().at(L"a").ImagesHeld(), 3);
  EXPECT_EQ(session.end(), End::Failed) << "b is missing";
  EXPECT_EQ(session.endCode(), LINK_WRITE_FAILED);
}

// Open-ended (the station): a round per calculator from plugging in to its
// end. One just plugged in settles first; a whole one is told while its
// neighbour still fails; the given-up one gets no more writes until it is
// plugged in again, when a new round with its own attempts begins.
TEST(OpenEnded, RoundAfterRound) {
  UpdateSession session(Policy::PerCalculator, ThreeImages(), Course::OpenEnded);
  session.NotePass({Calc(L"good"), Calc(L"bad")});
  EXPECT_EQ(session.Next().kind, Step::Kind::Wait) << "not settled yet";
  session.NotePass({Calc(L"good"), Calc(L"bad")});
  std::string trace;
  for (int i = 0; i < 12; ++i) {
    const Step step = session.Next();
    std::vector<Outcome> outcomes;
    for (const std::wstring& path : step.calculators) {
      const bool fails = path == L"bad" && step.kind == Step::Kind::Transfer;
      outcomes.push_back(fails ? Out(path, LINK_WRITE_FAILED, false, "write failed")
                               : Out(path, LINK_OK));
    }
    if (step.kind == Step::Kind::Finish) {
      trace += "F ";
      session.NoteFinish(LINK_OK, outcomes);
    } else if (step.kind == Step::Kind::Transfer) {
      trace += "T" + std::to_string(step.image) + (step.calculators.size() == 2 ? "+ " : " ");
      session.NoteTransfer(step.image, LINK_OK, outcomes);
    } else {
      trace += "W";
      break;
    }
  }
  EXPECT_EQ(trace, "T0+ T1 T2 F T0 T0 T0 T0 T0 W") << "never ends, never finishes the bad one";
  EXPECT_EQ(session.end(), End::Running);
  std::vector<Round> rounds = session.TakeEndedRounds();
  ASSERT_EQ(rounds.size(), 2u);
  EXPECT_EQ(rounds[0].identity.interfacePath, L"good");
  EXPECT_EQ(rounds[0].end, RoundEnd::Updated);
  EXPECT_EQ(rounds[1].end, RoundEnd::Failed);
  EXPECT_EQ(rounds[1].code, LINK_WRITE_FAILED);
  EXPECT_EQ(rounds[1].reason, "write failed");
  EXPECT_TRUE(session.TakeEndedRounds().empty());

  // Both unplugged (no new lines: their rounds ended) and plugged in again.
  session.NotePass({});
  EXPECT_TRUE(session.TakeEndedRounds().empty());
  session.NotePass({Calc(L"good"), Calc(L"bad")});
  session.NotePass({Calc(L"good"), Calc(L"bad")});
  const Calculator& bad = session.calculators().at(L"bad");
  EXPECT_EQ(bad.round, 2);
  EXPECT_EQ(bad.attempts, 0);
  EXPECT_FALSE(bad.givenUp);
  const Step again = session.Next();
  EXPECT_EQ(again.image, 0);
  EXPECT_EQ(again.calculators.size(), 2u) << "each gets every image again";
}

// Unplugged mid-image: the round ends gone with that image missing, and the
// write failure that saw it go is its reason.
TEST(OpenEnded, UnpluggedMidImageIsGoneWithTheImageMissing) {
  UpdateSession session(Policy::PerCalculator, ThreeImages(), Course::OpenEnded);
  session.NotePass({Calc(L"a"), Calc(L"b")});
  session.NotePass({Calc(L"a"), Calc(L"b")});
  session.NoteTransfer(0, LINK_OK, Ok({L"a", L"b"}));
  session.NoteTransfer(1, LINK_WRITE_FAILED,
                       {Out(L"a", LINK_OK), Out(L"b", LINK_WRITE_FAILED, true, "it went away")});
  session.NotePass({Calc(L"a")});
  const std::vector<Round> rounds = session.TakeEndedRounds();
  ASSERT_EQ(rounds.size(), 1u);
  EXPECT_EQ(rounds[0].end, RoundEnd::Gone);
  EXPECT_EQ(rounds[0].missingImage, 1);
  EXPECT_EQ(rounds[0].imagesHeld, 1);
  EXPECT_EQ(rounds[0].code, LINK_WRITE_FAILED);
  EXPECT_EQ(rounds[0].reason, "it went away");
  EXPECT_EQ(session.calculators().at(L"a").attempts, 0) << "a neighbour's failure is not a's";
  session.Abort();
  const std::vector<Round> stopped = session.TakeEndedRounds();
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_EQ(stopped[0].end, RoundEnd::Failed);
  EXPECT_EQ(stopped[0].code, LINK_OK) << "stopped, not a fault of its own";
}

// Unplugged between its last image and its finish: the finish's pass does
// not list it and the link reports it missing. It is gone, so plugged in
// again it begins a new round that gets every image before it is told.
TEST(OpenEnded, MissingAtItsFinishThenPluggedInAgainIsANewRound) {
  UpdateSession session(Policy::PerCalculator, ThreeImages(), Course::OpenEnded);
  session.NotePass({Calc(L"a")});
  session.NotePass({Calc(L"a")});
  for (int image = 0; image < 3; ++image) session.NoteTransfer(image, LINK_OK, Ok({L"a"}));
  ASSERT_EQ(session.Next().kind, Step::Kind::Finish);
  session.NotePass({});
  session.NoteFinish(LINK_CALCULATOR_MISSING, {Out(L"a", LINK_CALCULATOR_MISSING, true)});
  const std::vector<Round> gone = session.TakeEndedRounds();
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].end, RoundEnd::Gone);
  EXPECT_FALSE(session.calculators().at(L"a").attached);
  // Back before any other pass looked.
  session.NotePass({Calc(L"a")});
  EXPECT_TRUE(UpdateSession::RoundRuns(session.calculators().at(L"a")));
  EXPECT_EQ(session.calculators().at(L"a").round, 2);
  session.NotePass({Calc(L"a")});
  const Step next = session.Next();
  EXPECT_EQ(next.kind, Step::Kind::Transfer);
  EXPECT_EQ(next.image, 0) << "every image again";
  for (int image = 0; image < 3; ++image) session.NoteTransfer(image, LINK_OK, Ok({L"a"}));
  session.NoteFinish(LINK_OK, Ok({L"a"}));
  const std::vector<Round> updated = session.TakeEndedRounds();
  ASSERT_EQ(updated.size(), 1u) << "the new round has its line";
  EXPECT_EQ(updated[0].end, RoundEnd::Updated);
}

TEST(Session, NoImageSetEndsAtOnceAndAnAbortFinishesNobody) {
  UpdateSession empty(Policy::AllTogether, {});
  EXPECT_EQ(empty.end(), End::NoImageSet);
  UpdateSession session(Policy::AllTogether, ThreeImages());
  session.NoteTransfer(0, LINK_OK, Ok({L"a"}));
  session.Abort();
  EXPECT_EQ(session.end(), End::Aborted);
  EXPECT_EQ(session.Next().kind, Step::Kind::End);
  EXPECT_FALSE(session.Whole());
}

}  // namespace
}  // namespace norza::session
