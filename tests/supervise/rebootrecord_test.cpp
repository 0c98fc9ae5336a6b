// SPDX-License-Identifier: MIT
// The reboot record: the line format both ways, what a read keeps and what
// it refuses to open, the reboot count within a window of uptime, and the
// replacement of the file, also behind links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
constexpr int64_t kYear = 365 * 24 * 3600;
constexpr const char *kBoot = "0f3c2a1e-8f7d-4b0e-9a51-2c3d4e5f6a7b";

RebootRecordStamp Stamp(int64_t wall, int64_t uptime = -1, const char *boot = "") {
  RebootRecordStamp stamp;
  stamp.Wall = wall;
  stamp.Uptime = uptime;
  snprintf(stamp.BootId, sizeof stamp.BootId, "%s", boot);
  return stamp;
}

std::string Format(const RebootRecordStamp &stamp, int mode, const char *reason) {
  char line[REBOOT_RECORD_LINE_SIZE];
  FormatRebootRecord(line, sizeof line, &stamp, mode, reason);
  return line;
}

// A line as earlier versions wrote it, without uptime and boot.
std::string Format(int64_t when, int mode, const char *reason) { return Format(Stamp(when), mode, reason); }

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

// The mode words, UTC time, the uptime and boot fields when known, a reason
// that would break the line, and a reason cut to the line.
TEST(RebootRecord, LinesReadBackAsWritten) {
  const struct {
    RebootRecordStamp stamp;
    int mode;
    const char *reason;
    std::string line;
    int32_t parsedMode;
  } rows[] = {
      {Stamp(kWhen), TERM_POWEROFF, "Power button was pushed by user.",
       "2026-12-06T18:01:26Z poweroff : Power button was pushed by user.", TERM_POWEROFF},
      {Stamp(kWhen, 5423, kBoot), TERM_REBOOT, "a : b",
       "2026-12-06T18:01:26Z reboot up=5423 boot=0f3c2a1e-8f7d-4b0e-9a51-2c3d4e5f6a7b : a : b", TERM_REBOOT},
      {Stamp(kWhen, 0), TERM_SAFEMODE, "two\nlines\r\tand\x7f", "2026-12-06T18:01:26Z safemode up=0 : two?lines??and?",
       TERM_SAFEMODE},
      {Stamp(kWhen, 999999999999, "1-a"), 42, "", "2026-12-06T18:01:26Z reboot up=999999999999 boot=1-a : ",
       TERM_REBOOT},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.line);
    const std::string line = Format(row.stamp, row.mode, row.reason);
    EXPECT_EQ(line, row.line);
    RebootRecordStamp parsed = Stamp(0, 7, "x");
    int32_t mode = 0;
    ASSERT_EQ(ParseRebootRecord(line.c_str(), &parsed, &mode), 0);
    EXPECT_EQ(parsed.Wall, kWhen);
    EXPECT_EQ(parsed.Uptime, row.stamp.Uptime);
    EXPECT_STREQ(parsed.BootId, row.stamp.BootId);
    EXPECT_EQ(mode, row.parsedMode);
  }
  const std::string cut = Format(Stamp(kWhen, 1, kBoot), TERM_REBOOT, std::string(1000, 'x').c_str());
  EXPECT_EQ(cut.size(), static_cast<size_t>(REBOOT_RECORD_LINE_SIZE - 1));

  for (const char *bad : {"", "2026-12-06T18:01:26Z", "2026-12-06T18:01:26Z reboot", "2026-12-06T18:01:26Z halt : x",
                          "2026-12-06 18:01:26 reboot : x", "2026-12-06T18:01:26Z rebootx : x", "reboot : x",
                          "2026-12-06T18:01:26Z reboot up= : x", "2026-12-06T18:01:26Z reboot up=1000000000000 : x",
                          "2026-12-06T18:01:26Z reboot up=5 boot=ABC : x",
                          "2026-12-06T18:01:26Z reboot boot=abc : x"}) {
    RebootRecordStamp stamp;
    int32_t mode = 0;
    EXPECT_NE(ParseRebootRecord(bad, &stamp, &mode), 0) << bad;
  }
}

// Which reboots count: the walk from now back sums the uptime of each boot
// as its record shows it (within one boot, the difference of the two), and
// stops at the window. The wall-clock stamps never matter, so a board
// without a real-time clock and a clock set forward or back by years see
// the same loop; and a boot that ran long ends the count however recent its
// stamp looks.
TEST(RebootRecord, CountsRebootsWithinTheWindowOfUptime) {
  struct Record {
    int64_t wall;
    int64_t up;  // -1: a line without uptime and boot
    const char *boot;
    int mode;
  };
  // Boots "a", "b", "c" are earlier ones, "f" is this one.
  const struct {
    const char *name;
    RebootRecordStamp now;
    int32_t window;
    int count;
    std::vector<Record> records;  // oldest first
  } rows[] = {
      // clang-format off
      {"same clock every boot, or set back: records from the future", Stamp(kWhen + 50, 50, "f"), 600, 3,
       {{kWhen + 100, 100, "a", TERM_REBOOT}, {kWhen + 100, 100, "b", TERM_REBOOT},
        {kWhen + 100, 100, "c", TERM_SAFEMODE}}},
      {"clock set forward by years since", Stamp(kWhen + 10 * kYear, 50, "f"), 600, 3,
       {{kWhen, 100, "a", TERM_REBOOT}, {kWhen + 100, 100, "b", TERM_REBOOT}, {kWhen + 200, 100, "c", TERM_REBOOT}}},
      {"long boots with stamps that look recent", Stamp(kWhen, 100, "f"), 600, 1,
       {{kWhen - 30, 5000, "a", TERM_REBOOT}, {kWhen - 20, 5000, "b", TERM_REBOOT},
        {kWhen - 10, 5000, "c", TERM_REBOOT}}},
      {"the window is reached exactly", Stamp(kWhen, 300, "f"), 600, 2,
       {{kWhen, 200, "a", TERM_REBOOT}, {kWhen, 300, "b", TERM_REBOOT}}},
      {"power-offs do not count but their boots age the rest", Stamp(kWhen, 100, "f"), 500, 2,
       {{kWhen, 100, "a", TERM_REBOOT}, {kWhen, 300, "b", TERM_POWEROFF}, {kWhen, 100, "c", TERM_REBOOT}}},
      {"records of this boot are as old as the boot clock says", Stamp(kWhen, 100, "f"), 60, 1,
       {{kWhen, 10, "f", TERM_REBOOT}, {kWhen, 40, "f", TERM_REBOOT}}},
      {"lines without uptime neither count nor age", Stamp(kWhen, 100, "f"), 600, 2,
       {{kWhen - 5, -1, "", TERM_REBOOT}, {kWhen, 100, "a", TERM_REBOOT}, {kWhen - 5, -1, "", TERM_REBOOT},
        {kWhen, 100, "b", TERM_REBOOT}}},
      {"no boot ids: every record is an earlier boot", Stamp(kWhen, 100, ""), 150, 1,
       {{kWhen, 50, "", TERM_REBOOT}, {kWhen, 80, "", TERM_REBOOT}}},
      // clang-format on
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    RebootRecordLines records;
    records.Count = 0;
    for (const Record &record : row.records) {
      snprintf(records.Line[records.Count++], REBOOT_RECORD_LINE_SIZE, "%s",
               Format(Stamp(record.wall, record.up, record.boot), record.mode, "r").c_str());
    }
    EXPECT_EQ(CountRecentReboots(&records, &row.now, row.window), row.count);
  }
}

// A missing file holds no records; lines that are not records (a line too
// long to be one, or one holding a NUL) are passed over, and only the last 16
// are kept; a record as long as one can be and a last line without its
// newline count; lines with and without uptime mix.
TEST_F(RecordFile, ReadKeepsTheLastRecordsOnly) {
  EXPECT_EQ(Read(), Lines{});
  std::string content = "garbage\n" + std::string(600, 'x') + "\n\n";
  Lines expected;
  for (int i = 0; i < 20; i++) {
    const RebootRecordStamp stamp = i % 2 ? Stamp(kWhen + i) : Stamp(kWhen + i, 100 + i, kBoot);
    const std::string line = Format(stamp, TERM_REBOOT, ("number " + std::to_string(i)).c_str());
    content += line + "\n";
    if (i >= 6) expected.push_back(line);
  }
  // A record glued to the end of an overlong line is part of that line.
  content += std::string(REBOOT_RECORD_LINE_SIZE, 'y') + Format(kWhen, TERM_REBOOT, "inside") + "\n";
  content += Format(kWhen, TERM_REBOOT, "nul") + std::string(1, '\0') + "x\n";
  const std::string longest = Format(kWhen, TERM_REBOOT, std::string(1000, 'z').c_str());
  const std::string last = Format(kWhen + 20, TERM_POWEROFF, "no newline");
  ASSERT_EQ(longest.size(), REBOOT_RECORD_LINE_SIZE - 1u);
  expected.push_back(longest);
  expected.push_back(last);
  // One character more than the longest record is no record.
  Write(content + longest + "z\n" + longest + "\n" + last);
  EXPECT_EQ(Read(), expected);

  // A folder is never read as one (FIFOs and devices are tried on the board).
  RebootRecordLines records;
  EXPECT_EQ(ReadRebootRecords(dir_.c_str(), &records), REBOOT_RECORD_NOT_FILE);
}

// A file larger than a record file can be is read from its end only: the
// records within the last REBOOT_RECORD_READ_LIMIT bytes count, one cut by
// the limit does not, and one starting right at it does.
TEST_F(RecordFile, ReadTakesOnlyTheEndOfALargeFile) {
  const std::string first = Format(kWhen, TERM_REBOOT, "at the limit");
  const std::string second = Format(kWhen + 1, TERM_SAFEMODE, "after it");
  for (const bool whole : {true, false}) {
    SCOPED_TRACE(whole ? "starts at the limit" : "cut by the limit");
    // The records, then lines that are none, so that the first record starts
    // exactly REBOOT_RECORD_READ_LIMIT bytes before the end (or one byte
    // earlier, and is cut).
    std::string end = first + "\n" + second + "\n";
    const size_t size = REBOOT_RECORD_READ_LIMIT + (whole ? 0 : 1);
    while (end.size() + 100 < size) end += std::string(99, 'f') + "\n";
    end += std::string(size - end.size() - 1, 'g') + "\n";
    ASSERT_EQ(end.size(), size);
    Write(Format(kWhen - 1, TERM_REBOOT, "too far back") + "\n" + std::string(100, 'h') + "\n" + end);
    EXPECT_EQ(Read(), whole ? Lines({first, second}) : Lines({second}));
  }
}

// Every write adds one record with the wall time given and this boot's
// uptime and id, and keeps 16, with no temporary file left beside it (that
// the file is replaced, not rewritten, is checked on the board). A folder that
// does not exist is an error, and the old file stays untouched.
TEST_F(RecordFile, WriteKeepsTheLastSixteen) {
  RebootRecordStamp before;
  RebootRecordStampNow(&before);
  Lines reasons;
  for (int i = 0; i < 18; i++) {
    const int mode = i % 2 ? TERM_SAFEMODE : TERM_REBOOT;
    const std::string reason = "why " + std::to_string(i);
    ASSERT_EQ(WriteRebootRecord(path_.c_str(), kWhen + i, mode, reason.c_str()), 0);
    reasons.push_back(reason);
    if (reasons.size() > REBOOT_RECORD_KEEP) reasons.erase(reasons.begin());
    const Lines lines = Read();
    ASSERT_EQ(lines.size(), reasons.size());
    for (size_t k = 0; k < lines.size(); k++) EXPECT_EQ(lines[k].substr(lines[k].rfind(" : ") + 3), reasons[k]);
    RebootRecordStamp stamp;
    int32_t parsed = 0;
    ASSERT_EQ(ParseRebootRecord(lines.back().c_str(), &stamp, &parsed), 0);
    RebootRecordStamp after;
    RebootRecordStampNow(&after);
    EXPECT_EQ(stamp.Wall, kWhen + i);
    EXPECT_EQ(parsed, mode);
    EXPECT_GE(stamp.Uptime, before.Uptime);
    EXPECT_LE(stamp.Uptime, after.Uptime);
    EXPECT_STREQ(stamp.BootId, after.BootId);
    struct stat info {};
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
  }
  EXPECT_EQ(strlen(before.BootId), 36u);
  const std::string kept = Content();
  EXPECT_EQ(WriteRebootRecord((dir_ + "/missing/reboots").c_str(), kWhen, TERM_REBOOT, "x"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(Content(), kept);
}

}  // namespace
