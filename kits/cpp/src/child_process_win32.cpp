// Windows child processes: CreateProcessW with anonymous pipes on the standard streams.
// Reads with a time limit poll the pipe with PeekNamedPipe, since anonymous pipes have no
// time-outs of their own.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <map>
#include <mutex>
#include <utility>

#include "korvessa/launcher_kit/buffered_pipe.h"
#include "korvessa/launcher_kit/child_process.h"
#include "spawn_failure.h"
#include "windows_text.h"

namespace kcs::kit {
namespace {

using Clock = BufferedPipe::Clock;
// An empty pipe is looked at again after 1 ms, then less and less often, up to every 50 ms:
// prompt while lines come, cheap while the service is quiet for hours.
constexpr DWORD kFirstPollMs = 1;
constexpr DWORD kLongestPollMs = 50;
// A killed child reports the status a POSIX shell shows for SIGKILL, so callers see one value.
constexpr UINT kKilledStatus = 137;

Failure lastError(const char* what) {
  return fail(std::string(what) + ": " + detail::systemErrorText(::GetLastError()));
}

void closeHandle(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  h = nullptr;
}

Result<std::wstring> wide(const std::string& text) { return detail::toWide(text); }

// Quotes one argument so that CommandLineToArgvW and the C runtime read it back unchanged:
// backslashes are literal except before a quote, where they and the quote are escaped.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');  // they precede the closing quote
  line += L'"';
}

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// This process's environment with the extra entries added or replaced (names compare without
// case, as Windows does), as a sorted, double-NUL-terminated block.
Result<std::wstring> environmentBlock(const std::vector<std::string>& extra) {
  std::map<std::wstring, std::wstring> entries;
  auto add = [&](const std::wstring& entry) {
    // Names may start with "=" (the per-drive current directories), so search from index 1.
    std::size_t eq = entry.find(L'=', 1);
    entries[upper(entry.substr(0, eq))] = entry;
  };
  wchar_t* current = ::GetEnvironmentStringsW();
  if (current != nullptr) {
    for (const wchar_t* p = current; *p != L'\0'; p += std::wcslen(p) + 1) add(p);
    ::FreeEnvironmentStringsW(current);
  }
  for (const std::string& entry : extra) {
    Result<std::wstring> converted = wide(entry);
    if (!converted.ok()) return fail(converted.error());
    add(*converted);
  }
  std::wstring block;
  for (auto& [name, entry] : entries) {
    block += entry;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

// The pipe end a child writes to; polled with PeekNamedPipe.
class Reader final : public BufferedPipe {
 public:
  HANDLE pipe = nullptr;

 private:
  // Reads what is there, waiting until deadline. Returns false on time-out or end of stream.
  bool fill(Clock::time_point deadline) override {
    if (ended || pipe == nullptr) return false;
    for (;;) {
      DWORD available = 0;
      if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        ended = true;  // the writer closed its end (ERROR_BROKEN_PIPE) or the pipe broke
        return false;
      }
      if (available > 0) {
        char chunk[4096];
        DWORD got = 0;
        if (!::ReadFile(pipe, chunk, std::min<DWORD>(available, sizeof(chunk)), &got, nullptr) ||
            got == 0) {
          ended = true;
          return false;
        }
        pending.append(chunk, got);
        pollMs_ = kFirstPollMs;
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      ::Sleep(std::min<DWORD>(pollMs_, static_cast<DWORD>(left.count())));
      pollMs_ = std::min<DWORD>(pollMs_ * 2, kLongestPollMs);
    }
  }

  DWORD pollMs_ = kFirstPollMs;
};

// Which mistake a failed CreateProcessW of path was: the path itself says whether it is a
// directory; the error code tells a missing file from one that cannot be run.
detail::SpawnProblem spawnProblem(const std::wstring& path, DWORD code) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return detail::SpawnProblem::kDirectory;
  }
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return detail::SpawnProblem::kMissing;
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return detail::SpawnProblem::kNotRunnable;
    default:
      return detail::SpawnProblem::kOther;
  }
}

// Spawns are serialised: handles made inheritable for one child must not leak into another
// started at the same moment (the handle list below already prevents that where it is honoured).
std::mutex& spawnLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: detached threads may still spawn
  return *lock;
}

class Win32Child final : public ChildProcess {
 public:
  ~Win32Child() override {
    closeHandle(stdin_);
    closeHandle(stdout_.pipe);
    closeHandle(stderr_.pipe);
    if (!reaped_) kill();
  }

  Status launch(const std::string& program, const std::vector<std::string>& arguments,
                const ChildOptions& options) {
    std::string programPath = program;
    std::replace(programPath.begin(), programPath.end(), '/', '\\');
    Result<std::wstring> widePath = wide(programPath);
    if (!widePath.ok()) {
      return fail(Code::kInvalidArgument, "the program path is not valid UTF-8");
    }
    std::wstring commandLine;
    auto append = [&commandLine](const std::string& arg) -> Status {
      Result<std::wstring> converted = wide(arg);
      if (!converted.ok()) return fail(converted.error());
      appendQuoted(commandLine, *converted);
      return Status::success();
    };
    if (Status s = append(programPath); !s.ok()) return s;
    for (const std::string& arg : arguments) {
      if (Status s = append(arg); !s.ok()) return s;
    }
    std::wstring environment;
    if (!options.environment.empty()) {
      Result<std::wstring> block = environmentBlock(options.environment);
      if (!block.ok()) return fail(block.error());
      environment = std::move(*block);
    }

    std::lock_guard<std::mutex> guard(spawnLock());
    // The child's ends: [0] its input, [1] its output, [2] its error stream.
    HANDLE childEnds[3] = {nullptr, nullptr, nullptr};
    HANDLE ourEnds[3] = {nullptr, nullptr, nullptr};
    auto closeAll = [&] {
      for (HANDLE& h : childEnds) closeHandle(h);
      for (HANDLE& h : ourEnds) closeHandle(h);
    };
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const bool piped[3] = {options.pipeStdin, options.pipeStdout, options.pipeStderr};
    const DWORD standard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
      if (piped[i] || i == 0) {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (!::CreatePipe(&read, &write, nullptr, 0)) {
          Failure failure = lastError("CreatePipe");
          closeAll();
          return failure;
        }
        childEnds[i] = i == 0 ? read : write;
        ourEnds[i] = i == 0 ? write : read;
        ::SetHandleInformation(childEnds[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        // Unpiped input: the child reads an empty input that is already closed.
        if (!piped[i]) closeHandle(ourEnds[i]);
        continue;
      }
      // Unpiped output goes to this process's stream, or nowhere when there is none.
      HANDLE own = ::GetStdHandle(standard[i]);
      if (own == nullptr || own == INVALID_HANDLE_VALUE ||
          !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &childEnds[i], 0,
                             TRUE, DUPLICATE_SAME_ACCESS)) {
        childEnds[i] = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, OPEN_EXISTING, 0, nullptr);
        if (childEnds[i] == INVALID_HANDLE_VALUE) {
          childEnds[i] = nullptr;
          Failure failure = lastError("open NUL");
          closeAll();
          return failure;
        }
      }
    }

    // Only these three handles go to the child.
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listStorage(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listStorage.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
      Failure failure = lastError("InitializeProcThreadAttributeList");
      closeAll();
      return failure;
    }
    HANDLE inherited[3] = {childEnds[0], childEnds[1], childEnds[2]};
    const DWORD inheritedCount = childEnds[2] == childEnds[1] ? 2 : 3;
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                     inheritedCount * sizeof(HANDLE), nullptr, nullptr)) {
      Failure failure = lastError("UpdateProcThreadAttribute");
      ::DeleteProcThreadAttributeList(list);
      closeAll();
      return failure;
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = childEnds[0];
    startup.StartupInfo.hStdOutput = childEnds[1];
    startup.StartupInfo.hStdError = childEnds[2];
    startup.lpAttributeList = list;
    PROCESS_INFORMATION info{};
    const BOOL created = ::CreateProcessW(
        nullptr, commandLine.data(), nullptr, nullptr, TRUE,
        // No console window of its own: a GUI launcher must not flash one up for the service.
        EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
        environment.empty() ? nullptr : environment.data(), nullptr, &startup.StartupInfo, &info);
    if (!created) {
      const DWORD code = ::GetLastError();
      Failure failure = detail::spawnFailure(program, spawnProblem(*widePath, code),
                                             detail::systemErrorText(code));
      ::DeleteProcThreadAttributeList(list);
      closeAll();
      return failure;
    }
    ::DeleteProcThreadAttributeList(list);
    for (HANDLE& h : childEnds) closeHandle(h);
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    reaped_ = false;
    stdin_ = ourEnds[0];
    stdout_.pipe = ourEnds[1];
    stderr_.pipe = ourEnds[2];
    return Status::success();
  }

  std::uint32_t pid() const override { return pid_; }

  Status writeStdin(const std::string& bytes) override {
    if (stdin_ == nullptr) return fail("standard input is closed");
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD written = 0;
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      if (!::WriteFile(stdin_, bytes.data() + done, piece, &written, nullptr) || written == 0) {
        return lastError("write");
      }
      done += written;
    }
    return Status::success();
  }

  void closeStdin() override { closeHandle(stdin_); }
  void closeStderr() override { closeHandle(stderr_.pipe); }

  BufferedPipe& output() override { return stdout_; }
  BufferedPipe& errors() override { return stderr_; }

  std::optional<int> wait(unsigned timeoutMs) override {
    if (reaped_) return status_;
    if (::WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
    reap();
    return status_;
  }

  void kill() override {
    if (reaped_) return;
    ::TerminateProcess(process_, kKilledStatus);
    ::WaitForSingleObject(process_, INFINITE);
    reap();
  }

  std::string howEnded() const override {
    if (!reaped_) return "still running";
    return "with status " + std::to_string(status_);
  }

  std::optional<ChildEnd> end() const override {
    if (!reaped_) return std::nullopt;
    return ChildEnd{status_, std::nullopt};
  }

  // The handle stays open until wait() reaps, so the wait here is on a handle nobody closes.
  void awaitEnd() override {
    if (!reaped_) ::WaitForSingleObject(process_, INFINITE);
  }

  void terminate() override {
    if (!reaped_) ::TerminateProcess(process_, kKilledStatus);
  }

 private:
  // Once ended, the process handle is closed at once: while any handle stays open the process
  // object survives and its pid still opens, which would make an ended child look alive.
  void reap() {
    DWORD code = 0;
    status_ = ::GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
    closeHandle(process_);
    reaped_ = true;
  }

  HANDLE process_ = nullptr;
  std::uint32_t pid_ = 0;
  bool reaped_ = true;
  int status_ = 0;
  HANDLE stdin_ = nullptr;
  Reader stdout_;
  Reader stderr_;
};

}  // namespace

Result<std::unique_ptr<ChildProcess>> ChildProcess::start(const std::string& program,
                                                          const std::vector<std::string>& arguments,
                                                          const ChildOptions& options) {
  auto child = std::make_unique<Win32Child>();
  Status launched = child->launch(program, arguments, options);
  if (!launched.ok()) return launched.failure();
  return std::unique_ptr<ChildProcess>(std::move(child));
}

}  // namespace kcs::kit
