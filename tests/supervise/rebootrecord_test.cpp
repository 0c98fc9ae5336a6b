// The reboot record: the line format both ways, what a read keeps, the
// reboot count within a window, and the replacement of the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "supervise/rebootrecord.h"
#include "supervise/terminate.h"

namespace {

using Lines = std::vector<std::string>;

// 2026-12-06T18:01:26Z
constexpr int64_t kWhen = 1796580086;

std::string Format(int64_t when, int mode, const char *reason) {
  char line[REBOOT_RECORD_LINE_SIZE];
  FormatRebootRecord(line, sizeof line, when, mode, reason);
  return line;
}

Lines Kept(const RebootRecordLines &records) {
  return Lines(records.Line, records.Line + records.Count);
}

class RecordFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/rebootrecord_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/reboots";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string &content) { std::ofstream(path_, std::ios::binary) << content; }
  std::string Content() {
    std::stringstream text;
    text << std::ifstream(path_, std::ios::binary).rdbuf();
    return text.str();
  }
  Lines Read() {
    RebootRecordLines records;
    EXPECT_EQ(ReadRebootRecords(path_.c_str(), &records), 0);
    return Kept(records);
  }

  std::string dir_, path_;
};

// The mode words, UTC time, a reason that would break the line, and a
// reason cut to the line.
TEST(RebootRecord, LinesReadBackAsWritten) {
  const struct {
    int mode;
    const char *reason;
    std::string line;
    int32_t parsedMode;
  } rows[] = {
      {TERM_POWEROFF, "Power button was pushed by user.",
       "2026-12-06T18:01:26Z poweroff : Power button was pushed by user.", TERM_POWEROFF},
      {TERM_REBOOT, "a : b", "2026-12-06T18:01:26Z reboot : a : b", TERM_REBOOT},
      {TERM_SAFEMODE, "two\nlines\r\tand\x7f", "2026-12-06T18:01:26Z safemode : two?lines??and?", TERM_SAFEMODE},
      {42, "", "2026-12-06T18:01:26Z reboot : ", TERM_REBOOT},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.line);
    const std::string line = Format(kWhen, row.mode, row.reason);
    EXPECT_EQ(line, row.line);
    int64_t when = 0;
    int32_t mode = 0;
    ASSERT_EQ(ParseRebootRecord(line.c_str(), &when, &mode), 0);
    EXPECT_EQ(when, kWhen);
    EXPECT_EQ(mode, row.parsedMode);
  }
  const std::string cut = Format(kWhen, TERM_REBOOT, std::string(1000, 'x').c_str());
  EXPECT_EQ(cut.size(), static_cast<size_t>(REBOOT_RECORD_LINE_SIZE - 1));

  for (const char *bad : {"", "2026-12-06T18:01:26Z", "2026-12-06T18:01:26Z reboot", "2026-12-06T18:01:26Z halt : x",
                          "2026-12-06 18:01:26 reboot : x", "2026-12-06T18:01:26Z rebootx : x", "reboot : x"}) {
    int64_t when = 0;
    int32_t mode = 0;
    EXPECT_NE(ParseRebootRecord(bad, &when, &mode), 0) << bad;
  }
}

// Reboots and safe-mode reboots count, power-offs do not; a record counts
// while it is no older than the window, and one stamped after now (the
// clock was set back) has no age that could be trusted.
TEST(RebootRecord, CountsRebootsWithinTheWindow) {
  constexpr int64_t kNow = kWhen + 100000;
  RebootRecordLines records;
  records.Count = 0;
  const struct {
    int64_t age;
    int mode;
  } kept[] = {{601, TERM_REBOOT}, {600, TERM_REBOOT}, {599, TERM_SAFEMODE}, {10, TERM_POWEROFF}, {0, TERM_REBOOT}, {-1, TERM_REBOOT}, {-5000, TERM_SAFEMODE}};
  for (const auto &record : kept) {
    snprintf(records.Line[records.Count++], REBOOT_RECORD_LINE_SIZE, "%s",
             Format(kNow - record.age, record.mode, "r").c_str());
  }
  const std::pair<int32_t, int> windows[] = {{600, 3}, {599, 2}, {1, 1}, {0, 1}, {100000, 4}};
  for (const auto &[window, count] : windows) {
    EXPECT_EQ(CountRecentReboots(&records, kNow, window), count) << window;
  }
}

// A missing file holds no records; lines that are not records (a line too
// long to be one included) are passed over, and only the last 16 are kept;
// a last line without its newline counts.
TEST_F(RecordFile, ReadKeepsTheLastRecordsOnly) {
  EXPECT_EQ(Read(), Lines{});
  std::string content = "garbage\n" + std::string(600, 'x') + "\n\n";
  Lines expected;
  for (int i = 0; i < 20; i++) {
    const std::string line = Format(kWhen + i, TERM_REBOOT, ("number " + std::to_string(i)).c_str());
    content += line + "\n";
    if (i >= 4) expected.push_back(line);
  }
  // A record glued to the end of an overlong line is part of that line.
  content += std::string(REBOOT_RECORD_LINE_SIZE, 'y') + Format(kWhen, TERM_REBOOT, "inside") + "\n";
  const std::string last = Format(kWhen + 20, TERM_POWEROFF, "no newline");
  expected.erase(expected.begin());
  expected.push_back(last);
  Write(content + last);
  EXPECT_EQ(Read(), expected);

  // A folder opens but does not read: that is an error, not "no records".
  RebootRecordLines records;
  EXPECT_EQ(ReadRebootRecords(dir_.c_str(), &records), -1);
}

// Every write adds one record and keeps 16; the file is a new one each time
// (a reader holding the old one still sees it whole), with no temporary
// file left beside it. A folder that does not exist is an error, and the
// old file stays untouched.
TEST_F(RecordFile, WriteReplacesTheFileAndKeepsSixteen) {
  Lines expected;
  for (int i = 0; i < 18; i++) {
    struct stat before {};
    const bool existed = stat(path_.c_str(), &before) == 0;
    const std::string old = existed ? Content() : "";
    const std::string hold = dir_ + "/held";
    if (existed) {
      ASSERT_EQ(link(path_.c_str(), hold.c_str()), 0);
    }

    ASSERT_EQ(WriteRebootRecord(path_.c_str(), kWhen + i, i % 2 ? TERM_SAFEMODE : TERM_REBOOT, "why"), 0);
    expected.push_back(Format(kWhen + i, i % 2 ? TERM_SAFEMODE : TERM_REBOOT, "why"));
    if (expected.size() > REBOOT_RECORD_KEEP) expected.erase(expected.begin());
    EXPECT_EQ(Read(), expected);

    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 0777, 0644u);
    if (existed) {
      EXPECT_NE(after.st_ino, before.st_ino);
      std::stringstream held;
      held << std::ifstream(hold).rdbuf();
      EXPECT_EQ(held.str(), old);
      unlink(hold.c_str());
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
  }
  const std::string kept = Content();
  EXPECT_EQ(WriteRebootRecord((dir_ + "/missing/reboots").c_str(), kWhen, TERM_REBOOT, "x"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(Content(), kept);
}

}  // namespace
