#include "tools/night/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace korrin::night {

namespace fs = std::filesystem;

namespace {

std::string locate(const std::string& name) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path beside = self.parent_path() / name;
    if (::access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path == nullptr ? "" : path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  throw std::runtime_error("cannot find " + name + " beside korrin-night (" +
                           (error ? std::string("?") : self.parent_path().string()) +
                           ") or on the PATH");
}

}  // namespace

Programs findPrograms() {
  return {locate("korrin"), locate("korrin-prepare"), locate("korrin-inspect"),
          locate("korrin-reconstruct")};
}

std::string StepResult::how() const {
  if (signal != 0) return "killed by signal " + std::to_string(signal);
  if (status < 0) return "cannot start: " + output;
  return "exit status " + std::to_string(status);
}

StepResult runStep(const std::vector<std::string>& argv, const fs::path& scratch) {
  StepResult result;
  const auto start = std::chrono::steady_clock::now();
  const int out = ::open(scratch.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    result.output = scratch.string() + ": " + std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ::close(out);
    ::unlink(scratch.c_str());
    result.output = argv[0] + ": " + std::strerror(spawned);
    return result;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  ::close(out);
  std::ifstream written(scratch, std::ios::binary);
  std::ostringstream text;
  text << written.rdbuf();
  result.output = text.str();
  ::unlink(scratch.c_str());
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace korrin::night
