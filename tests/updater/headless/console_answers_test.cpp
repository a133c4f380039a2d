// Answers typed on the console: buttons by number or name, the safe answer of each kind of
// box, and the recovery dialog's model and language.

#include "ui/headless/console_answers.h"

#include "state/device_models.h"

#include <gtest/gtest.h>

TEST(ConsoleAnswers, ButtonsByNumberOrNameInAnyCase)
{
    MessageBoxAnswer answer = MessageBoxAnswer::Ok;
    EXPECT_TRUE(parseAnswer("2", MessageBoxKind::OkCancel, answer));
    EXPECT_EQ(answer, MessageBoxAnswer::Cancel);
    EXPECT_TRUE(parseAnswer("  yes \t", MessageBoxKind::YesNo, answer));
    EXPECT_EQ(answer, MessageBoxAnswer::Yes);
    EXPECT_TRUE(parseAnswer("NO", MessageBoxKind::YesNo, answer));
    EXPECT_EQ(answer, MessageBoxAnswer::No);
    EXPECT_TRUE(parseAnswer("1", MessageBoxKind::Ok, answer));
    EXPECT_EQ(answer, MessageBoxAnswer::Ok);
    EXPECT_TRUE(parseAnswer("ok", MessageBoxKind::OkCancel, answer));
    EXPECT_EQ(answer, MessageBoxAnswer::Ok);
    answer = MessageBoxAnswer::Cancel;
    EXPECT_TRUE(parseAnswer("", MessageBoxKind::Ok, answer)); // Enter on a notice
    EXPECT_EQ(answer, MessageBoxAnswer::Ok);
}

TEST(ConsoleAnswers, NothingOutsideTheBoxsButtonsIsTaken)
{
    MessageBoxAnswer answer = MessageBoxAnswer::Yes;
    for (const char* line : { "", "  ", "0", "3", "-1", "yes", "maybe", "1 2", "99999" })
        EXPECT_FALSE(parseAnswer(line, MessageBoxKind::OkCancel, answer)) << line;
    EXPECT_FALSE(parseAnswer("", MessageBoxKind::YesNo, answer)); // a choice is never taken by Enter alone
    EXPECT_FALSE(parseAnswer("ok", MessageBoxKind::YesNo, answer));
    EXPECT_FALSE(parseAnswer("2", MessageBoxKind::Ok, answer));
    EXPECT_EQ(answer, MessageBoxAnswer::Yes); // untouched by refused lines
}

TEST(ConsoleAnswers, SafeAnswerChangesNothing)
{
    EXPECT_EQ(safeAnswer(MessageBoxKind::OkCancel), MessageBoxAnswer::Cancel);
    EXPECT_EQ(safeAnswer(MessageBoxKind::YesNo), MessageBoxAnswer::No);
    EXPECT_EQ(safeAnswer(MessageBoxKind::Ok), MessageBoxAnswer::Ok);
}

TEST(ConsoleAnswers, RecoveryChoiceByTypeOrLabelWithLanguage)
{
    RecoveryChoice choice;
    ASSERT_TRUE(parseRecoveryChoice("13", choice));
    EXPECT_EQ(choice.deviceType, 13);
    EXPECT_FALSE(choice.japanese);
    EXPECT_FALSE(choice.cancel);

    ASSERT_TRUE(parseRecoveryChoice(" 4 , Japanese ", choice));
    EXPECT_EQ(choice.deviceType, 4);
    EXPECT_TRUE(choice.japanese);

    ASSERT_TRUE(parseRecoveryChoice("G3 PeakPro,english", choice));
    EXPECT_EQ(choice.deviceType, 13);
    EXPECT_FALSE(choice.japanese);

    ASSERT_TRUE(parseRecoveryChoice("g4 ridge easy", choice));
    EXPECT_EQ(choice.deviceType, 16);

    ASSERT_TRUE(parseRecoveryChoice("Cancel", choice));
    EXPECT_TRUE(choice.cancel);
}

TEST(ConsoleAnswers, RecoveryChoiceRefusesWhatTheDialogCannotTick)
{
    RecoveryChoice choice;
    choice.deviceType = 7;
    for (const char* line :
        { "", "3", "17", "0", "Q3Peak", "Peak Pro", "13,german", "13,", "japanese", "13 japanese" })
        EXPECT_FALSE(parseRecoveryChoice(line, choice)) << line;
    EXPECT_EQ(choice.deviceType, 7);
}

TEST(ConsoleAnswers, RecoveryPromptListsTheThirteenLabelsAndBothLanguages)
{
    const std::string prompt = recoveryPromptText();
    for (int type = 4; type <= 16; ++type)
        EXPECT_NE(prompt.find(recoveryLabel(type)), std::string::npos) << type;
    EXPECT_NE(prompt.find("Japanese"), std::string::npos);
    EXPECT_NE(prompt.find("English"), std::string::npos);
    EXPECT_NE(prompt.find("Recovery Mode Carefully Choose Your Device"), std::string::npos);
    EXPECT_EQ(prompt.find("Q3"), std::string::npos);
}
