#include "ActivityLog.h"

#include "TestWait.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(ActivityLog, LineIsTimeStampThenMessage)
{
    ActivityLog log;
    log.Log("Loading settings.");
    ASSERT_EQ(log.Lines().size(), 1);
    static const QRegularExpression form(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} Loading settings\.$)");
    EXPECT_TRUE(form.match(log.Lines().front()).hasMatch()) << log.Lines().front().toStdString();
}

TEST(ActivityLog, MemoIsEmptiedWholeWhenItHoldsAThousandLines)
{
    ActivityLog log;
    int cleared = 0;
    QObject::connect(&log, &ActivityLog::cleared, [&] { ++cleared; });
    for (int i = 0; i < 1000; ++i)
        log.Log("line " + std::to_string(i));
    EXPECT_EQ(log.Lines().size(), 1000);
    EXPECT_EQ(cleared, 0);
    log.Log("line 1000");
    ASSERT_EQ(log.Lines().size(), 1);
    EXPECT_TRUE(log.Lines().front().endsWith("line 1000"));
    EXPECT_EQ(cleared, 1);
}

TEST(ActivityLog, FileGetsTheMessageAloneOnlyWhileLoggingToFileIsOn)
{
    ActivityLog log;
    std::vector<std::pair<std::string, std::string>> written;
    log.SetFileWriter([&](const std::string& m, const std::string& p) { written.emplace_back(m, p); });
    log.SetLogFilePath("/tmp/x/Linvaro.log");
    log.Log("off");
    EXPECT_TRUE(written.empty());
    log.SetLogToFile(true);
    log.Log("Port \"Scale\" started!");
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].first, "Port \"Scale\" started!");
    EXPECT_EQ(written[0].second, "/tmp/x/Linvaro.log");
}

TEST(ActivityLog, LinesFromOtherThreadsArriveOnTheMainThreadInCallOrder)
{
    ActivityLog log;
    std::vector<std::string> fileOrder;
    log.SetLogToFile(true);
    log.SetFileWriter([&](const std::string& m, const std::string&) { fileOrder.push_back(m); });
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i)
            log.Log("w" + std::to_string(i));
    });
    worker.join();
    EXPECT_TRUE(fileOrder.empty()) << "nothing may be written from the worker thread itself";
    log.Log("main"); // a main-thread call after the worker's: must come last
    ASSERT_TRUE(WaitFor([&] { return log.Lines().size() == 51; }));
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(log.Lines()[i].endsWith(QString::fromStdString("w" + std::to_string(i))));
    EXPECT_TRUE(log.Lines().back().endsWith("main"));
    ASSERT_EQ(fileOrder.size(), 51u);
    EXPECT_EQ(fileOrder.back(), "main");
}

TEST(ActivityLog, DefaultFileFollowsXdgStateHome)
{
    qputenv("XDG_STATE_HOME", "/tmp/state-test");
    EXPECT_EQ(ActivityLog::DefaultLogFilePath(), "/tmp/state-test/linvaro/Linvaro.log");
    qunsetenv("XDG_STATE_HOME");
    qputenv("HOME", "/home/op");
    EXPECT_EQ(ActivityLog::DefaultLogFilePath(), "/home/op/.local/state/linvaro/Linvaro.log");
}

// A 4 MB description logged per received chunk must not grow the memo by
// megabytes a line; and no text may forge a line on any output.
TEST(ActivityLog, LongLinesAreCutAndControlCharactersEscapedOnEveryOutput)
{
    ActivityLog log;
    std::vector<std::string> written;
    std::vector<QString> emitted;
    log.SetFileWriter([&](const std::string& m, const std::string&) { written.push_back(m); });
    log.SetLogToFile(true);
    QObject::connect(&log, &ActivityLog::lineAdded, [&](const QString& line) { emitted.push_back(line); });
    log.Log(std::string(4 * 1024 * 1024, 'd'));
    log.Log("Port \"A\n2024-01-01 00:00:00 Port \"B\" started!\r\x1b[2J\"");
    ASSERT_EQ(log.Lines().size(), 2);
    EXPECT_LT(log.Lines()[0].size(), 8 * 1024 + 100);
    EXPECT_TRUE(log.Lines()[0].endsWith("[... 4186112 more bytes cut]")) << log.Lines()[0].right(40).toStdString();
    const std::string escaped = "Port \"A\\n2024-01-01 00:00:00 Port \"B\" started!\\r\\x1B[2J\"";
    EXPECT_TRUE(log.Lines()[1].endsWith(QString::fromStdString(escaped))) << log.Lines()[1].toStdString();
    // The file writer gets the message and escapes it itself (the general
    // library's log tests), so the file line is the memo line.
    ASSERT_EQ(written.size(), 2u);
    ASSERT_EQ(emitted.size(), 2u);
    EXPECT_EQ(emitted[1], log.Lines()[1]);
}
