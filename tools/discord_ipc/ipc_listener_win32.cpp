// The serving side of a Discord IPC endpoint on Windows: a named pipe with one instance per client.
#include "discord_ipc/ipc_listener.h"

#include <windows.h>

#include <cstdint>
#include <utility>

#include "platform/system_text_win32.h"

namespace kcs::ipc {
namespace {

using platform::File;
using platform::IpcChannel;

Failure lastError() { return fail(platform::errorText(::GetLastError())); }

HANDLE handle(const File& f) { return reinterpret_cast<HANDLE>(f.get()); }

// first: refuse a name that another server already serves, rather than share its clients.
Result<File> createPipeInstance(const std::wstring& name, bool first) {
  HANDLE pipe = ::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, 64 * 1024, 64 * 1024, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return lastError();
  return File(reinterpret_cast<std::intptr_t>(pipe));
}

}  // namespace

Result<bool> ipcEndpointServed(const std::string& name) {
  Result<std::wstring> wide = platform::widePath(name);
  if (!wide.ok()) return fail(wide.error());
  // Asks for a free instance without opening one: the server sees nothing.
  if (::WaitNamedPipeW(wide->c_str(), 1)) return true;
  const DWORD code = ::GetLastError();
  if (code == ERROR_SEM_TIMEOUT) return true;  // served, every instance busy
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return false;
  return fail(platform::errorText(code));
}

Result<IpcListener> listenIpc(const std::string& name) {
  Result<std::wstring> wide = platform::widePath(name);
  if (!wide.ok()) return fail(wide.error());
  // A name another program serves is never shared: its clients would land on us at random.
  // Being the first instance refuses it as well, where the system enforces that (Wine does not).
  Result<bool> served = ipcEndpointServed(name);
  if (!served.ok()) return fail(served.error());
  if (*served) return fail("the endpoint is already served by another program");
  // The first instance exists before anyone accepts, so a client may open the name right away.
  Result<File> instance = createPipeInstance(*wide, true);
  if (!instance.ok()) return fail(instance.error());
  return IpcListener{name, std::move(instance).value()};
}

Result<IpcChannel> acceptIpc(IpcListener& listener) {
  Result<std::wstring> wide = platform::widePath(listener.name);
  if (!wide.ok()) return fail(wide.error());
  if (!listener.handle.valid()) {
    Result<File> instance = createPipeInstance(*wide, false);
    if (!instance.ok()) return fail(instance.error());
    listener.handle = File(instance->release());
  }
  for (;;) {
    if (::ConnectNamedPipe(handle(listener.handle), nullptr)) break;
    const DWORD code = ::GetLastError();
    if (code == ERROR_PIPE_CONNECTED) break;  // the client came before we asked
    if (code == ERROR_NO_DATA) {
      // A client opened and closed again before we got to it: free the instance, wait anew.
      ::DisconnectNamedPipe(handle(listener.handle));
      continue;
    }
    return fail(platform::errorText(code));
  }
  IpcChannel connected(listener.handle.release());
  // The next client needs an instance of its own; if none can be made now, the next accept
  // tries again.
  Result<File> next = createPipeInstance(*wide, false);
  if (next.ok()) listener.handle = File(next->release());
  return connected;
}

Result<bool> waitIpcReadable(IpcChannel& channel, unsigned timeoutMs) {
  // The pipe was opened for synchronous reads, which cannot be given a time-out, so the wait
  // looks at what is queued every few milliseconds until the time is up.
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(handle(channel), nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED) return true;  // closed
      return fail(platform::errorText(code));
    }
    if (available > 0) return true;
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(10);
  }
}

}  // namespace kcs::ipc
