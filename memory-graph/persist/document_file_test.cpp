#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "document.h"
#include "file_replace.h"
#include "interrupt.h"
#include "store/graph_ops.h"

namespace recall_mesh::persist {
namespace {

namespace fs = std::filesystem;
using store::AdjacencyMap;

class DocumentFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "persist_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }

  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void write(const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }

  fs::path dir_;
};

AdjacencyMap sample() {
  AdjacencyMap adj;
  store::add_association(adj, "a", "b", "p", 0.5f, 100, 0.5f, false);
  return adj;
}

TEST_F(DocumentFile, SavesAndLoads) {
  const std::string p = path("g.json");
  ASSERT_FALSE(save_to_json(AdjacencyMap(), p));
  EXPECT_EQ(read(p), R"({"graph":{"adj":{}},"version":2})");
  const AdjacencyMap adj = sample();
  ASSERT_FALSE(save_to_json(adj, p));
  EXPECT_EQ(read(p), document_text(adj));
  auto loaded = load_from_json(p);
  ASSERT_TRUE(std::holds_alternative<AdjacencyMap>(loaded));
  EXPECT_EQ(document_text(std::get<AdjacencyMap>(loaded)), read(p));
  EXPECT_EQ(entries(), std::set<std::string>{"g.json"}) << "no temporary file is left";
}

TEST_F(DocumentFile, OpenErrors) {
  struct Case {
    std::string path;
    int err;
    const char* message;
  };
  const Case save_cases[] = {
      {path("missing/g.json"), ENOENT, "No such file or directory (os error 2)"},
      {dir_.string(), EISDIR, "Is a directory (os error 21)"},
      {path("new/"), EISDIR, "Is a directory (os error 21)"},
      {"", ENOENT, "No such file or directory (os error 2)"},
  };
  for (const Case& c : save_cases) {
    const std::optional<Error> e = save_to_json(sample(), c.path);
    ASSERT_TRUE(e) << c.path;
    EXPECT_EQ(e->kind, ErrorKind::kOpen);
    EXPECT_EQ(e->os_errno, c.err);
    EXPECT_EQ(e->message, c.message);
  }
  write(path("file"), "x");
  const std::optional<Error> not_dir = save_to_json(sample(), path("file/g.json"));
  ASSERT_TRUE(not_dir);
  EXPECT_EQ(not_dir->message, "Not a directory (os error 20)");

  auto missing = load_from_json(path("nothing.json"));
  ASSERT_TRUE(std::holds_alternative<Error>(missing));
  EXPECT_EQ(std::get<Error>(missing).kind, ErrorKind::kOpen);
  EXPECT_EQ(std::get<Error>(missing).os_errno, ENOENT);
  EXPECT_EQ(std::get<Error>(missing).message, "No such file or directory (os error 2)");

  // A directory opens for reading but cannot be read.
  auto directory = load_from_json(dir_.string());
  ASSERT_TRUE(std::holds_alternative<Error>(directory));
  EXPECT_EQ(std::get<Error>(directory).kind, ErrorKind::kLoad);
  EXPECT_EQ(std::get<Error>(directory).message,
            "Failed to load graph: Is a directory (os error 21)");

  const std::string with_nul("g\0.json", 7);
  const std::optional<Error> nul_save = save_to_json(sample(), with_nul);
  ASSERT_TRUE(nul_save);
  EXPECT_EQ(nul_save->kind, ErrorKind::kNulInPath);
  EXPECT_EQ(nul_save->message, "file name contained an unexpected NUL byte");
  auto nul_load = load_from_json(with_nul);
  EXPECT_EQ(std::get<Error>(nul_load).kind, ErrorKind::kNulInPath);
  EXPECT_EQ(entries(), std::set<std::string>{"file"});
}

TEST_F(DocumentFile, KeepsPermissionBitsAndSymlinks) {
  const std::string p = path("g.json");
  write(p, "old");
  ASSERT_EQ(::chmod(p.c_str(), 0640), 0);
  ASSERT_FALSE(save_to_json(sample(), p));
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A new file gets 0666 less the umask.
  const mode_t old_mask = ::umask(027);
  const std::optional<Error> fresh = save_to_json(sample(), path("new.json"));
  ::umask(old_mask);
  ASSERT_FALSE(fresh);
  ASSERT_EQ(::stat(path("new.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // Through a chain of links, relative and absolute: the links stay, the target changes.
  fs::create_directory(dir_ / "real");
  fs::create_symlink("real/g.json", dir_ / "rel");
  fs::create_symlink(dir_ / "rel", dir_ / "abs");
  ASSERT_FALSE(save_to_json(sample(), path("abs")));
  EXPECT_TRUE(fs::is_symlink(dir_ / "abs"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "rel"));
  EXPECT_EQ(read(path("real/g.json")), document_text(sample()));
  ASSERT_FALSE(save_to_json(AdjacencyMap(), path("abs")));
  EXPECT_TRUE(fs::is_symlink(dir_ / "abs"));
  EXPECT_EQ(read(path("real/g.json")), R"({"graph":{"adj":{}},"version":2})");
  EXPECT_EQ(fs::directory_iterator(dir_ / "real")->path().filename(), "g.json");

  fs::create_symlink("loop2", dir_ / "loop1");
  fs::create_symlink("loop1", dir_ / "loop2");
  const std::optional<Error> loop = save_to_json(sample(), path("loop1"));
  ASSERT_TRUE(loop);
  EXPECT_EQ(loop->os_errno, ELOOP);
}

// Every name of a file with several sees the new document: a rename over one name would
// leave the others with the old one.
TEST_F(DocumentFile, KeepsHardLinks) {
  const std::string p = path("g.json");
  write(p, "old");
  ASSERT_EQ(::link(p.c_str(), path("other.json").c_str()), 0);
  ASSERT_FALSE(save_to_json(sample(), p));
  EXPECT_EQ(read(path("other.json")), document_text(sample()));
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(entries(), (std::set<std::string>{"g.json", "other.json"}));
}

// While the new document is written, the file holding it is open to its owner alone; it
// takes the target's mode only when complete. A new target is made as any new file is.
TEST_F(DocumentFile, TemporaryFileIsPrivateUntilCommit) {
  const std::string p = path("g.json");
  write(p, "old");
  ASSERT_EQ(::chmod(p.c_str(), 0644), 0);
  const mode_t old_mask = ::umask(0);
  FileReplacement file;
  const std::optional<Error> opened = file.open(p);
  ::umask(old_mask);
  ASSERT_FALSE(opened);
  struct stat st {};
  ASSERT_EQ(::fstat(file.fd(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string text = document_text(sample());
  ASSERT_EQ(::write(file.fd(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_FALSE(file.commit(text.size()));
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(read(p), text);

  const mode_t new_mask = ::umask(0);
  FileReplacement fresh;
  const std::optional<Error> created = fresh.open(path("new.json"));
  ::umask(new_mask);
  ASSERT_FALSE(created);
  ASSERT_EQ(::fstat(fresh.fd(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

// A path just under the system's limit saves, though a temporary file's longer name beside
// it would pass the limit: the target is then written in place.
TEST_F(DocumentFile, SavesAPathNearTheLengthLimit) {
  fs::path deep = dir_;
  while (deep.string().size() < PATH_MAX - 260) deep /= std::string(200, 'd');
  deep /= std::string(PATH_MAX - 20 - deep.string().size(), 'e');
  fs::create_directories(deep);
  const std::string p = (deep / "g.json").string();
  ASSERT_LT(p.size(), static_cast<std::size_t>(PATH_MAX));
  for (const bool exists : {false, true}) {
    ASSERT_FALSE(save_to_json(sample(), p)) << "exists: " << exists;
    EXPECT_EQ(read(p), document_text(sample()));
    EXPECT_EQ(std::distance(fs::directory_iterator(deep), fs::directory_iterator()), 1);
  }
}

TEST_F(DocumentFile, WritesDevicesInPlace) {
  EXPECT_FALSE(save_to_json(sample(), "/dev/null"));
}

AdjacencyMap big_graph() {
  AdjacencyMap big;
  for (int i = 0; i < 2000; ++i) {
    store::add_association(big, std::to_string(i), "hub", "p", 0.5f, 1, 0.5f, false);
  }
  return big;
}

// Saves `adj` to `p` in a child whose file size limit is `limit` bytes, with SIGXFSZ as
// `on_xfsz`: the limit is per process. Returns what the save reported ("ok" or
// "<kind>:<message>"), or "signal <n>" when the child was killed.
std::string save_under_size_limit(const AdjacencyMap& adj, const std::string& p, rlim_t limit,
                                  void (*on_xfsz)(int)) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child < 0) return "no fork";
  if (child == 0) {
    ::signal(SIGXFSZ, on_xfsz);
    const rlimit lim{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    const std::optional<Error> e = save_to_json(adj, p);
    const std::string report =
        e ? std::to_string(static_cast<int>(e->kind)) + ":" + e->message : "ok";
    [[maybe_unused]] const ssize_t n = ::write(fds[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string report;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    report.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return report;
}

// A save that fails half way (the file size limit stops the write) reports the failure and
// leaves the previous file byte for byte, with no temporary file beside it.
TEST_F(DocumentFile, FailedWriteKeepsThePreviousFile) {
  const std::string p = path("g.json");
  const std::string previous = document_text(sample());
  write(p, previous);
  EXPECT_EQ(save_under_size_limit(big_graph(), p, 16384, SIG_IGN),
            std::to_string(static_cast<int>(ErrorKind::kSave)) +
                ":Failed to save graph: File too large (os error 27)");
  EXPECT_EQ(read(p), previous);
  EXPECT_EQ(entries(), std::set<std::string>{"g.json"});
}

// A document that fits under the file size limit is saved even when the room a save sets
// aside for it would not fit, and SIGXFSZ, at its default, would end the process.
TEST_F(DocumentFile, SetsAsideNoRoomPastTheFileSizeLimit) {
  const std::string p = path("g.json");
  const AdjacencyMap big = big_graph();
  const std::string text = document_text(big);
  ASSERT_LT(text.size() + 1000, big.edge_count() * 240) << "the guess must pass the limit";
  EXPECT_EQ(save_under_size_limit(big, p, text.size() + 1000, SIG_DFL), "ok");
  EXPECT_EQ(read(p), text);
  EXPECT_EQ(entries(), std::set<std::string>{"g.json"});
}

int g_checks = 0;
extern "C" void on_alarm(int) {}

// A signal interrupts a blocked open, read or write; the host's check decides: the first
// time it retries, the second it stops the operation, which reports kInterrupted.
TEST_F(DocumentFile, HostStopsABlockedOpenOrWrite) {
  const std::string fifo = path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A timer interrupts every 20 ms until the guard goes.
  struct Alarms {
    struct sigaction old {};
    Alarms() {
      struct sigaction on {};
      on.sa_handler = on_alarm;  // no SA_RESTART: blocked calls fail with EINTR
      ::sigaction(SIGALRM, &on, &old);
      set_interrupt_check([]() noexcept { return ++g_checks >= 2; });
      const itimerval every{{0, 20000}, {0, 20000}};
      ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~Alarms() {
      const itimerval off{};
      ::setitimer(ITIMER_REAL, &off, nullptr);
      ::sigaction(SIGALRM, &old, nullptr);
      set_interrupt_check(nullptr);
    }
  } alarms;

  g_checks = 0;
  auto loaded = load_from_json(fifo);  // no writer: the open waits
  ASSERT_TRUE(std::holds_alternative<Error>(loaded));
  EXPECT_EQ(std::get<Error>(loaded).kind, ErrorKind::kInterrupted);
  EXPECT_EQ(g_checks, 2);

  g_checks = 0;
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // never reads
  ASSERT_GE(reader, 0);
  const std::optional<Error> saved = save_to_json(big_graph(), fifo);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->kind, ErrorKind::kInterrupted);
  EXPECT_EQ(g_checks, 2);

  ::close(reader);
  EXPECT_EQ(entries(), std::set<std::string>{"pipe"});
}

}  // namespace
}  // namespace recall_mesh::persist
