// SPDX-License-Identifier: MIT
// The configuration check behind "wardctl check": the reader's own reports,
// placed on the lines they are about, and warnings about what the reader
// takes in silence. Single-threaded tools only (see checkconfig.h).
#include "readconfig/checkconfig.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include "common/cmdexec.h"
#include "common/fd.h"
#include "readconfig/readconfig.h"

namespace {

// The most links a lookup under another root follows, as the kernel does.
constexpr int kMaxLinks = 40;
// How much of a script's first line a warning quotes.
constexpr size_t kShebangQuote = 64;

// One chunk as the reader takes it, and the line of the file it starts on.
struct Chunk {
  std::string Text;  // up to the first NUL, without the newline
  bool TooLong;      // full without a newline: the reader reports and drops it
  int32_t Line;
};

// A report of the reader and the chunk it was made for (0: none).
struct Report {
  int32_t Chunk;
  std::string Text;
};

// Keeps a report of the reader; the context is the check's list.
void CollectReport(void *context, int32_t chunk, const char *text) {
  static_cast<std::vector<Report> *>(context)->push_back({chunk, text});
}

// The file cut into chunks by the reader's own cutter, each with the line of
// the file it starts on.
std::vector<Chunk> SplitChunks(const ConfigText &text) {
  std::vector<Chunk> chunks;
  int32_t line = 1;
  char chunk[CONFIG_CHUNK_SIZE];
  const char *end = text.Data + text.Length;
  for (const char *next = text.Data; next < end;) {
    bool endsLine = false;
    const bool tooLong = TakeConfigChunk(&next, end, chunk, &endsLine) == CHUNK_TOO_LONG;
    chunks.push_back({chunk, tooLong, line});
    if (endsLine) line++;
  }
  return chunks;
}

// The fields as the reader cuts them, by the reader's own routine, and
// where each field ends in text.
std::vector<std::string> SplitFields(const std::string &text, std::vector<size_t> *ends) {
  std::vector<std::string> fields;
  std::string line = text;
  char *save = nullptr;
  for (char *field = CutConfigField(line.data(), &save); field != nullptr; field = CutConfigField(nullptr, &save)) {
    fields.emplace_back(field);
    ends->push_back(static_cast<size_t>(field - line.data()) + fields.back().size());
  }
  return fields;
}

char Lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

// Edits (insert, delete, replace, swap of neighbours) between two texts,
// letter case ignored.
size_t EditDistance(const std::string &a, const std::string &b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); i++) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); j++) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    for (size_t j = 1; j <= b.size(); j++) {
      const size_t cost = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) && Lower(a[i - 2]) == Lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The known key a mistyped one most likely means: one edit in five
// characters at most, so unrelated words get no suggestion.
const char *NearestKey(const std::string &key) {
  const char *best = nullptr;
  size_t bestDistance = 0;
  for (int32_t i = 0; i < NumConfigKeys; i++) {
    const std::string name = ConfigKeys[i].Name;
    const size_t distance = EditDistance(key, name);
    if (distance > std::max<size_t>(1, name.size() / 5)) continue;
    if (best == nullptr || distance < bestDistance) {
      best = ConfigKeys[i].Name;
      bestDistance = distance;
    }
  }
  return best;
}

bool IsSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

void Warn(std::vector<CheckNote> *notes, int32_t line, const std::string &text) {
  notes->push_back({line, CHECK_WARNING, text});
}

void WarnUnknownKey(std::vector<CheckNote> *notes, int32_t line, const std::string &key) {
  for (int32_t i = 0; i < NumConfigKeys; i++) {
    if (strcasecmp(key.c_str(), ConfigKeys[i].Name) == 0) {
      Warn(notes, line,
           "key " + Quoted(key) + " is not " + Quoted(ConfigKeys[i].Name) +
               ": keys are matched in exact letter case, so the daemon ignores the line");
      return;
    }
  }
  std::string text = "unknown key " + Quoted(key) + ": the daemon ignores the line";
  if (const char *nearest = NearestKey(key)) text += "; did you mean " + Quoted(nearest) + "?";
  Warn(notes, line, text);
}

// The reader's numbers may start with blanks (strtol skips them) but not end
// with one; either is easily missed in an editor.
void WarnBlanks(std::vector<CheckNote> *notes, int32_t line, const std::string &number) {
  if (number.empty()) return;
  if (IsSpace(number.back())) {
    Warn(notes, line, "blank after the number " + Quoted(number) + ": the value does not convert");
  } else if (IsSpace(number.front())) {
    Warn(notes, line, "blank before the number " + Quoted(number) + " (taken, but a blank after a number is not)");
  }
}

// The root a check runs for; empty: this system's own.
std::string gRoot;

// The path as the daemon would find it with gRoot as its "/": every link on
// the way is followed here, an absolute target from gRoot again, so that a
// link in the image never leads into the checking machine's own files. A
// part that does not exist ends the walk; the rest is appended as written.
std::string Rooted(const std::string &path) {
  if (gRoot.empty()) return path;
  std::deque<std::string> rest;
  for (size_t pos = 0; pos <= path.size();) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) rest.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  std::string resolved;  // under gRoot, "" or "/a/b"
  int links = 0;
  while (!rest.empty()) {
    const std::string part = rest.front();
    rest.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      resolved.erase(std::min(resolved.size(), resolved.rfind('/')));
      continue;
    }
    const std::string next = resolved + "/" + part;
    struct stat st;
    const bool exists = lstat((gRoot + next).c_str(), &st) == 0;
    if (exists && !S_ISLNK(st.st_mode)) {
      resolved = next;
      continue;
    }
    if (!exists || ++links > kMaxLinks) {
      resolved = next;
      for (const std::string &left : rest) resolved += "/" + left;
      break;
    }
    char target[4096];
    const ssize_t length = readlink((gRoot + next).c_str(), target, sizeof target - 1);
    if (length <= 0) {
      resolved = next;
      continue;
    }
    const std::string link(target, static_cast<size_t>(length));
    if (link[0] == '/') resolved.clear();
    std::deque<std::string> parts;
    for (size_t pos = 0; pos <= link.size();) {
      size_t end = link.find('/', pos);
      if (end == std::string::npos) end = link.size();
      if (end > pos) parts.push_back(link.substr(pos, end - pos));
      pos = end + 1;
    }
    rest.insert(rest.begin(), parts.begin(), parts.end());
  }
  return gRoot + (resolved.empty() ? "/" : resolved);
}

int RootedStat(const char *path, struct stat *st) { return stat(Rooted(path).c_str(), st); }

// The first line of a program run by an interpreter ("#!/bin/sh"), empty
// for any other file.
std::string Shebang(const std::string &program) {
  // The reader takes any path with the owner-execute bit: a FIFO or a device
  // must neither block the check nor be acted on by an open.
  UniqueFd fd(open(Rooted(program).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  char line[kShebangQuote + 1] = "";
  const ssize_t count = read(fd.get(), line, kShebangQuote);
  if (count < 2 || strncmp(line, "#!", 2) != 0) return "";
  std::string text(line, static_cast<size_t>(count));
  text = text.substr(0, text.find_first_of("\r\n", 0));
  return text.substr(0, strlen(text.c_str()));
}

// Where the respawn command's shell finds name through searchPath: the
// first executable regular file of that name, "" when there is none. The
// daemon runs in "/", so an empty entry means "/".
std::string FindOnPath(const std::string &name, const std::string &searchPath, struct stat *found) {
  for (size_t pos = 0; pos <= searchPath.size();) {
    size_t end = searchPath.find(':', pos);
    if (end == std::string::npos) end = searchPath.size();
    std::string folder = searchPath.substr(pos, end - pos);
    pos = end + 1;
    if (folder.empty() || folder == ".") folder = "/";
    const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
    if (stat(Rooted(candidate).c_str(), found) == 0 && S_ISREG(found->st_mode) &&
        (found->st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) {
      return candidate;
    }
  }
  return "";
}

std::string Folder(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "/" : slash == 0 ? "/"
                                                       : path.substr(0, slash);
}

// The warnings about one entry the reader took, which need the whole file
// read (the alive check's method may come later in it).
void WarnEntry(std::vector<CheckNote> *notes, int32_t line, const ProcEntry &entry, const ConfigDb &db,
               const std::string &searchPath) {
  const std::string name = entry.procName, exec = entry.ExecPath;
  if (entry.StartUp == RESPAWN) {
    struct stat found, own;
    const std::string first = FindOnPath(name, searchPath, &found);
    if (first.empty()) {
      Warn(notes, line,
           "the respawn command runs " + Quoted(name) + " through the search path, and no folder of " +
               Quoted(searchPath) + " holds it: put " + Folder(exec) +
               " on the daemon's PATH or link the program into one of its folders");
    } else if (RootedStat(exec.c_str(), &own) == 0 && (own.st_dev != found.st_dev || own.st_ino != found.st_ino)) {
      Warn(notes, line,
           "the respawn command runs " + Quoted(name) + " through the search path, which finds " + first +
               " first, not " + exec + ": rename the program or put " + Folder(exec) +
               " before that folder on the daemon's PATH");
    }
  }
  if ((entry.StartUp == MANAGE || entry.StartUp == RESPAWN) && db.AliveCheck != ALIVE_CHECK_PROC) {
    const std::string interpreter = Shebang(exec);
    if (!interpreter.empty()) {
      Warn(notes, line,
           exec + " is run by an interpreter (" + interpreter + "): a termination's 'pidof -s " + name +
               "' cannot see it, so it is not stopped before the reboot; set AliveCheck:proc, which finds it "
               "through its pid file");
    }
  }
}

// Warns when others than root may write the file. The daemon runs as root;
// the check cannot know whether it runs as another user, so root is the one
// writer it takes.
void WarnWriters(const ConfigFile &file, std::vector<CheckNote> *notes) {
  if (ConfigWrittenOnlyBy(file, 0)) return;
  char mode[8];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.Mode & 07777));
  notes->push_back({0, CHECK_WARNING,
                    "owner uid " + std::to_string(file.Owner) + ", mode " + mode +
                        ": others than root may write the file, so the daemon refuses a re-read request for it "
                        "(it reads it only as its own file)",
                    true});
}

// Turns the reader's reports into errors on the lines they were made for;
// refused[chunk] says whether a chunk was reported.
void AddErrors(const std::vector<Report> &reports, const std::vector<Chunk> &chunks, std::vector<CheckNote> *notes,
               std::vector<bool> *refused) {
  refused->assign(chunks.size() + 1, false);
  for (const Report &report : reports) {
    const bool known = report.Chunk >= 1 && static_cast<size_t>(report.Chunk) <= chunks.size();
    notes->push_back({known ? chunks[report.Chunk - 1].Line : 0, CHECK_ERROR, report.Text});
    if (known) (*refused)[report.Chunk] = true;
  }
}

// What the walk over the lines learns for the warnings that need the whole
// file read.
struct LineFacts {
  std::vector<int32_t> EntryLines;  // the line of every "Process" line the reader took, in order
  int32_t LoopLimitLine = 0;        // the last RebootLoopLimit line the reader took
  int32_t RecordLine = 0;           // the last RebootRecord line with a path
};

void WarnNumberLine(const ConfigKey &key, const std::vector<std::string> &fields, int32_t line,
                    std::vector<CheckNote> *notes) {
  if (fields.size() < 2) return;
  WarnBlanks(notes, line, fields[1]);
  int32_t value = 0;
  // The watchdog thread can neither spin nor sleep past the hardware
  // timeout, so it takes such a period as 1 second.
  if (strcmp(key.Name, "WdtRefreshPeriod") == 0 && Str2Num(fields[1].c_str(), 10, &value) == 0 && value <= 0) {
    Warn(notes, line, std::string(key.Name) + " " + std::to_string(value) + " is taken as 1 second");
  }
}

void WarnMethodLine(const std::vector<std::string> &fields, int32_t line, std::vector<CheckNote> *notes) {
  if (fields.size() < 2) return;
  // The reader refuses a method word in any other letter case.
  for (const char *word : {"ps", "proc"}) {
    if (fields[1] != word && strcasecmp(fields[1].c_str(), word) == 0) {
      Warn(notes, line, "method " + Quoted(fields[1]) + " is not " + Quoted(word) + ": methods are matched in lower case");
    }
  }
}

// The warnings of a "Process" line; returns whether the reader took it
// (every refusal but that of START is reported).
bool WarnProcessLine(const std::string &text, const std::vector<std::string> &fields, const std::vector<size_t> &ends,
                     int32_t line, bool reported, std::vector<CheckNote> *notes) {
  const bool start = fields.size() > 1 && strcasecmp(fields[1].c_str(), "START") == 0;
  if (start) {
    Warn(notes, line,
         "start-up kind " + Quoted(fields[1]) +
             " makes the daemon pass over the line without a report: the process is not supervised");
  }
  if (fields.size() > 2) WarnBlanks(notes, line, fields[2]);
  // A line written without its cycle has the pid file where the number
  // belongs; the reader's conversion error does not say so.
  int32_t cycle = 0;
  if (fields.size() > 2 && fields[2].find('/') != std::string::npos && Str2Num(fields[2].c_str(), 10, &cycle) != 0) {
    Warn(notes, line,
         "no health-check cycle: " + Quoted(fields[2]) +
             " stands where the cycle belongs; a Process line is "
             "Process:StartUp:HealthCheck:PidPath:ExecPath[:Option], with 0 for a process that sends no "
             "health checks");
  }
  // ':' separates the fields, so an option holding one loses its rest.
  if (fields.size() > 6) {
    Warn(notes, line,
         "respawn option cut at ':': the daemon keeps " + Quoted(fields[5]) + " and drops " +
             Quoted(text.substr(ends[5])) + "; write the option without ':'");
  }
  return !start && !reported && fields.size() >= 5;
}

// One warning for all lines that end in a carriage return, on the first.
void WarnCarriageReturns(int32_t count, int32_t first, std::vector<CheckNote> *notes) {
  if (count == 0) return;
  const std::string where =
      count == 1 ? "Windows line end" : "Windows line ends on " + std::to_string(count) + " lines, the first here";
  Warn(notes, first,
       where +
           ": the carriage return stays in the last field, where a number does not convert "
           "and a path names no file");
}

// The warnings about single lines, in their order.
LineFacts WarnLines(const std::vector<Chunk> &chunks, const std::vector<bool> &refused,
                    std::vector<CheckNote> *notes) {
  LineFacts facts;
  int32_t crLines = 0, firstCrLine = 0;
  for (size_t i = 0; i < chunks.size(); i++) {
    const Chunk &chunk = chunks[i];
    if (chunk.TooLong) continue;
    std::string text = chunk.Text;
    if (!text.empty() && text.back() == '\r') {
      if (crLines++ == 0) firstCrLine = chunk.Line;
      text.pop_back();
    }
    if (text.empty() || text[0] == '#') continue;
    if (text.find_first_not_of(" \t") == std::string::npos) continue;  // a blank line
    std::vector<size_t> ends;
    const std::vector<std::string> fields = SplitFields(text, &ends);
    if (fields.empty()) continue;

    const ConfigKey *key = FindConfigKey(fields[0].c_str());
    if (key == nullptr) {
      WarnUnknownKey(notes, chunk.Line, fields[0]);
    } else if (key->Kind == KEY_NUMBER) {
      WarnNumberLine(*key, fields, chunk.Line, notes);
    } else if (key->Kind == KEY_METHOD) {
      WarnMethodLine(fields, chunk.Line, notes);
    } else if (key->Kind == KEY_PAIR) {
      for (size_t f = 1; f < fields.size() && f <= 2; f++) WarnBlanks(notes, chunk.Line, fields[f]);
      if (strcmp(key->Name, "RebootLoopLimit") == 0 && !refused[i + 1]) facts.LoopLimitLine = chunk.Line;
    } else if (key->Kind == KEY_PATH) {
      if (strcmp(key->Name, "RebootRecord") == 0 && fields.size() > 1) facts.RecordLine = chunk.Line;
    } else if (key->Kind == KEY_PROCESS) {
      if (WarnProcessLine(text, fields, ends, chunk.Line, refused[i + 1], notes)) {
        facts.EntryLines.push_back(chunk.Line);
      }
    }
  }
  WarnCarriageReturns(crLines, firstCrLine, notes);
  return facts;
}

// The warnings about the entries the reader filled, each on the line it
// came from.
void WarnEntries(const ConfigDb &db, const std::vector<int32_t> &entryLines, const std::string &searchPath,
                 std::vector<CheckNote> *notes) {
  std::map<std::string, int32_t> firstLine;
  const size_t entries = std::min(entryLines.size(), static_cast<size_t>(db.Process != nullptr ? db.NumProcess : 0));
  for (size_t i = 0; i < entries; i++) {
    const ProcEntry &entry = db.Process[i];
    const int32_t line = entryLines[i];
    if (entry.HealthCheck < 0) {
      Warn(notes, line,
           "negative health-check cycle " + std::to_string(entry.HealthCheck) + " acts as a cycle of 1 second");
    }
    WarnEntry(notes, line, entry, db, searchPath);
    const auto [first, added] = firstLine.emplace(entry.procName, line);
    if (!added) {
      const std::string name = Quoted(entry.procName), other = std::to_string(first->second);
      Warn(notes, line,
           "process name " + name + " is used on line " + other + " already: health checks naming " + name +
               " reach only the entry of line " + other);
    }
  }
}

void WarnRebootRecord(const ConfigDb &db, const LineFacts &facts, std::vector<CheckNote> *notes) {
  // The loop limit counts the reboots of the record; without one it is
  // never reached.
  if (facts.LoopLimitLine > 0 && db.LoopLimitCount > 0 && db.RebootRecord[0] == '\0') {
    Warn(notes, facts.LoopLimitLine,
         "RebootLoopLimit without RebootRecord does nothing: the daemon counts reboots in the record; add "
         "RebootRecord:<a file on persistent storage>");
  }
  struct stat folder;
  if (facts.RecordLine > 0 && db.RebootRecord[0] != '\0' &&
      RootedStat(Folder(db.RebootRecord).c_str(), &folder) != 0) {
    Warn(notes, facts.RecordLine,
         "the reboot record's folder " + Folder(db.RebootRecord) +
             " does not exist, so the daemon cannot keep the record: create it on persistent storage");
  }
}

// The root a check is for, as gRoot holds it: no trailing '/', and empty
// for this system's own.
std::string RootOf(const CheckOptions &options) {
  std::string root = options.Root != nullptr ? options.Root : "";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root == "/" ? "" : root;
}

}  // namespace

int CheckConfig(const char *path, std::vector<CheckNote> *notes, const CheckOptions &options) {
  if (notes == nullptr) return CHECK_CANNOT_READ;
  notes->clear();
  if (path == nullptr) {
    errno = EINVAL;
    return CHECK_CANNOT_READ;
  }
  // The daemon's own load: a file it would refuse cannot be checked.
  ConfigFile file;
  const int loaded = LoadConfigFile(path, &file);
  if (loaded == LOAD_NOT_A_FILE) return CHECK_NOT_A_FILE;
  if (loaded != LOAD_OK) return CHECK_CANNOT_READ;
  WarnWriters(file, notes);

  // The daemon's own read of the same bytes, its reports collected, and its
  // paths looked up under the root it is checked for.
  gRoot = RootOf(options);
  std::vector<Report> reports;
  const ConfigReadArg readArg{gRoot.empty() ? nullptr : RootedStat, CollectReport, &reports};
  ConfigDb db{};
  ReadConfigText(file.Text(), &db, &readArg);

  const std::vector<Chunk> chunks = SplitChunks(file.Text());
  std::vector<bool> refused;
  AddErrors(reports, chunks, notes, &refused);
  const LineFacts facts = WarnLines(chunks, refused, notes);
  WarnEntries(db, facts.EntryLines, options.SearchPath != nullptr ? options.SearchPath : CHECK_DEFAULT_SEARCH_PATH,
              notes);
  WarnRebootRecord(db, facts, notes);
  CleanConfig(nullptr, &db);
  gRoot.clear();

  // Line order, a line's errors first; each kind in the order it was found.
  std::stable_sort(notes->begin(), notes->end(), [](const CheckNote &a, const CheckNote &b) {
    return a.Line != b.Line ? a.Line < b.Line : a.Severity < b.Severity;
  });
  return CHECK_OK;
}
