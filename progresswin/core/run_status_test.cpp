#include "run_status.h"

#include <gtest/gtest.h>

namespace {

using morx::CommandAction;

TEST(CommandRules, ButtonsAskWhileRunning) {
    EXPECT_EQ(morx::actionForCommand(2000, morx::kRunning), CommandAction::ConfirmStop);
    EXPECT_EQ(morx::actionForCommand(3000, morx::kRunning), CommandAction::ConfirmFinish);
}

TEST(CommandRules, CloseBoxAndEscapeAskToStopWhileRunning) {
    EXPECT_EQ(morx::actionForCommand(2, morx::kRunning), CommandAction::ConfirmStop);  // IDCANCEL
    EXPECT_EQ(morx::actionForCommand(1, morx::kRunning), CommandAction::ConfirmStop);  // IDOK
}

TEST(CommandRules, EverythingIgnoredOnceAccepted) {
    for (int status : {morx::kStopRequested, morx::kFinishRequested}) {
        for (int id : {1, 2, 2000, 3000}) {
            EXPECT_EQ(morx::actionForCommand(id, status), CommandAction::Ignore)
                << "status " << status << " id " << id;
        }
    }
}

TEST(CommandRules, AcceptedConfirmationSetsStatus) {
    EXPECT_EQ(morx::statusAfterConfirmation(CommandAction::ConfirmStop, true, 0), 1);
    EXPECT_EQ(morx::statusAfterConfirmation(CommandAction::ConfirmFinish, true, 0), 2);
}

TEST(CommandRules, CancelledConfirmationKeepsStatus) {
    EXPECT_EQ(morx::statusAfterConfirmation(CommandAction::ConfirmStop, false, 0), 0);
    EXPECT_EQ(morx::statusAfterConfirmation(CommandAction::ConfirmFinish, false, 0), 0);
    EXPECT_EQ(morx::statusAfterConfirmation(CommandAction::Ignore, true, 0), 0);
}

TEST(CommandRules, AcceptedStatusNeverChangesAgain) {
    EXPECT_EQ(morx::statusAfterConfirmation(CommandAction::ConfirmStop, true, 2), 2);
    EXPECT_EQ(morx::statusAfterConfirmation(CommandAction::ConfirmFinish, true, 1), 1);
}

TEST(ClockText, TwoDigitFields) {
    EXPECT_EQ(morx::clockText(0, 0, 0), "time: 00:00:00");
    EXPECT_EQ(morx::clockText(9, 5, 7), "time: 09:05:07");
    EXPECT_EQ(morx::clockText(23, 59, 59), "time: 23:59:59");
}

TEST(ClockText, OutOfRangeFieldsAreClamped) {
    EXPECT_EQ(morx::clockText(24, 60, 61), "time: 23:59:59");
    EXPECT_EQ(morx::clockText(-1, -20, -3), "time: 00:00:00");
}

}  // namespace
