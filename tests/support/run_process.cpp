#include "tests/support/run_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace korrin::test {

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::function<void(pid_t)>& whileRunning) {
  // The child writes into two scratch files, read once it has ended: nothing can fill up and
  // block it, whatever it writes.
  std::string outName = (std::filesystem::temp_directory_path() / "korrin-out-XXXXXX").string();
  std::string errName = (std::filesystem::temp_directory_path() / "korrin-err-XXXXXX").string();
  const int outFd = mkostemp(outName.data(), O_CLOEXEC);
  const int errFd = mkostemp(errName.data(), O_CLOEXEC);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("mkostemp failed");
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  char* noEnvironment[] = {nullptr};

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    // As a shell starts a foreground program, whatever the test runner ignores.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execve(args[0], args.data(), noEnvironment);
    _exit(127);
  }
  close(outFd);
  close(errFd);
  if (whileRunning) whileRunning(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ProcessResult result;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  result.out = readBytes(outName);
  result.err = readBytes(errName);
  unlink(outName.c_str());
  unlink(errName.c_str());
  return result;
}

std::string korrinBinary() {
  return KORRIN_BINARY;
}

ProcessResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd) {
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, cwd);
}

ProcessResult runKorrinBinary(const std::vector<std::string>& args, const std::string& cwd) {
  return runProgram(korrinBinary(), args, cwd);
}

}  // namespace korrin::test
