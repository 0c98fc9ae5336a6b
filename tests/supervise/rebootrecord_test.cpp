// SPDX-License-Identifier: MIT
// The reboot record: the line format both ways, what a read keeps, the
// reboot count within a window of uptime, and the replacement of the file.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "supervise/rebootrecord.h"
#include "supervise_support.h"

namespace {

using Lines = std::vector<std::string>;

// 2026-12-06T18:01:26Z
constexpr int64_t kWhen = 1796580086;
constexpr int64_t kYear = 365 * 24 * 3600;
constexpr const char *kBoot = "0f3c2a1e-8f7d-4b0e-9a51-2c3d4e5f6a7b";

RebootRecordStamp Stamp(int64_t wall, int64_t uptime = -1, const char *boot = "") {
  RebootRecordStamp stamp{wall, uptime, ""};
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

class RecordFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/rebootrecord_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/reboots";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Lines Read() {
    RebootRecordLines records;
    EXPECT_EQ(ReadRebootRecords(path_.c_str(), &records), 0);
    return Lines(records.Line, records.Line + records.Count);
  }

  std::string dir_, path_;
};

// The mode words, UTC time, the uptime and boot fields when known, and a
// reason that would break the line.
TEST(RebootRecord, LinesReadBackAsWritten) {
  const struct {
    RebootRecordStamp stamp;
    int mode;
    const char *reason;
    std::string line;
  } rows[] = {
      {Stamp(kWhen), TERM_POWEROFF, "Power button was pushed by user.",
       "2026-12-06T18:01:26Z poweroff : Power button was pushed by user."},
      {Stamp(kWhen, 5423, kBoot), TERM_REBOOT, "a : b",
       "2026-12-06T18:01:26Z reboot up=5423 boot=0f3c2a1e-8f7d-4b0e-9a51-2c3d4e5f6a7b : a : b"},
      {Stamp(kWhen, 0), TERM_SAFEMODE, "two\nlines\r\tand\x7f", "2026-12-06T18:01:26Z safemode up=0 : two?lines??and?"},
      {Stamp(kWhen, 999999999999, "1-a"), 42, "", "2026-12-06T18:01:26Z reboot up=999999999999 boot=1-a : "},
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
    EXPECT_EQ(mode, row.mode == 42 ? TERM_REBOOT : row.mode);  // an unknown mode is written as a reboot
  }

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
// stops at the window. The wall-clock stamps never matter.
TEST(RebootRecord, CountsRebootsWithinTheWindowOfUptime) {
  struct Record {
    int64_t up;  // -1: a line without uptime and boot
    const char *boot;
    int mode = TERM_REBOOT;
    int64_t wall = kWhen;
  };
  // Boots "a", "b", "c" are earlier ones, "f" is this one; records oldest first.
  const struct {
    const char *name;
    RebootRecordStamp now;
    int32_t window;
    int count;
    std::vector<Record> records;
  } rows[] = {
      // clang-format off
      {"same clock every boot, or set back: records from the future", Stamp(kWhen + 50, 50, "f"), 600, 3,
       {{100, "a", TERM_REBOOT, kWhen + 100}, {100, "b", TERM_REBOOT, kWhen + 100},
        {100, "c", TERM_SAFEMODE, kWhen + 100}}},
      {"clock set forward by years since", Stamp(kWhen + 10 * kYear, 50, "f"), 600, 3,
       {{100, "a"}, {100, "b", TERM_REBOOT, kWhen + 100}, {100, "c", TERM_REBOOT, kWhen + 200}}},
      {"long boots with stamps that look recent", Stamp(kWhen, 100, "f"), 600, 1,
       {{5000, "a", TERM_REBOOT, kWhen - 30}, {5000, "b", TERM_REBOOT, kWhen - 20},
        {5000, "c", TERM_REBOOT, kWhen - 10}}},
      {"the window is reached exactly", Stamp(kWhen, 300, "f"), 600, 2, {{200, "a"}, {300, "b"}}},
      {"power-offs do not count but their boots age the rest", Stamp(kWhen, 100, "f"), 500, 2,
       {{100, "a"}, {300, "b", TERM_POWEROFF}, {100, "c"}}},
      {"records of this boot are as old as the boot clock says", Stamp(kWhen, 100, "f"), 60, 1, {{10, "f"}, {40, "f"}}},
      {"lines without uptime neither count nor age", Stamp(kWhen, 100, "f"), 600, 2,
       {{-1, ""}, {100, "a"}, {-1, ""}, {100, "b"}}},
      {"no boot ids: every record is an earlier boot", Stamp(kWhen, 100, ""), 150, 1, {{50, ""}, {80, ""}}},
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

// A missing file holds no records; lines that are not records (too long, or
// holding a NUL) are passed over, and only the last 16 records are kept.
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
  content += std::string(REBOOT_RECORD_LINE_SIZE, 'y') + Format(kWhen, TERM_REBOOT, "inside") + "\n";
  content += Format(kWhen, TERM_REBOOT, "nul") + std::string(1, '\0') + "x\n";
  const std::string longest = Format(kWhen, TERM_REBOOT, std::string(1000, 'z').c_str());
  const std::string last = Format(kWhen + 20, TERM_POWEROFF, "no newline");
  ASSERT_EQ(longest.size(), REBOOT_RECORD_LINE_SIZE - 1u);  // a long reason is cut to the line
  expected.push_back(longest);
  expected.push_back(last);
  std::ofstream(path_) << content + longest + "z\n" + longest + "\n" + last;
  EXPECT_EQ(Read(), expected);

  RebootRecordLines records;
  EXPECT_EQ(ReadRebootRecords(dir_.c_str(), &records), REBOOT_RECORD_NOT_FILE);
}

TEST_F(RecordFile, ReadTakesOnlyTheEndOfALargeFile) {
  const std::string first = Format(kWhen, TERM_REBOOT, "at the limit");
  const std::string second = Format(kWhen + 1, TERM_SAFEMODE, "after it");
  for (const bool whole : {true, false}) {
    SCOPED_TRACE(whole ? "starts at the limit" : "cut by the limit");
    // The first record starts exactly REBOOT_RECORD_READ_LIMIT bytes before
    // the end (or one byte earlier, and is cut); a line that is none fills.
    std::string end = first + "\n" + second + "\n";
    end += std::string(REBOOT_RECORD_READ_LIMIT + (whole ? 0 : 1) - end.size() - 1, 'g') + "\n";
    std::ofstream(path_) << Format(kWhen - 1, TERM_REBOOT, "too far back") + "\n" + std::string(100, 'h') + "\n" + end;
    EXPECT_EQ(Read(), whole ? Lines({first, second}) : Lines({second}));
  }
}

// Every write adds one record with the wall time given and this boot's
// uptime and id, and keeps 16 in a file of mode 0644 (its replacement is
// tested on the board); a write into a missing folder fails.
TEST_F(RecordFile, WriteKeepsTheLastSixteen) {
  for (int i = 0; i < 18; i++) {
    const std::string reason = "why " + std::to_string(i);
    ASSERT_EQ(WriteRebootRecord(path_.c_str(), kWhen + i, i % 2 ? TERM_SAFEMODE : TERM_REBOOT, reason.c_str()), 0);
  }
  const Lines lines = Read();
  ASSERT_EQ(lines.size(), REBOOT_RECORD_KEEP);
  EXPECT_EQ(lines.front().substr(lines.front().rfind(" : ")), " : why 2");
  RebootRecordStamp now, stamp;
  RebootRecordStampNow(&now);
  int32_t mode = 0;
  ASSERT_EQ(ParseRebootRecord(lines.back().c_str(), &stamp, &mode), 0);
  EXPECT_EQ(lines.back().substr(lines.back().rfind(" : ")), " : why 17");
  EXPECT_EQ(stamp.Wall, kWhen + 17);
  EXPECT_EQ(mode, TERM_SAFEMODE);
  EXPECT_GE(stamp.Uptime, 0);
  EXPECT_LE(stamp.Uptime, now.Uptime);
  EXPECT_STREQ(stamp.BootId, now.BootId);
  struct stat info {};
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(WriteRebootRecord((dir_ + "/missing/reboots").c_str(), kWhen, TERM_REBOOT, "x"), -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
