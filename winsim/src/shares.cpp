// Network connections: WNetAddConnection2W and WNetCancelConnection2W against the machine's shares
// and the process's connection table.
#include <algorithm>

#include "state.h"

using namespace winsim;
using namespace winsim::detail;

namespace {

constexpr DWORD kErrorBadDevice = 1200;  // ERROR_BAD_DEVICE

std::optional<std::u16string> optionalWide(LPCWSTR s) {
  if (!s) return std::nullopt;
  return std::u16string(s);
}

// The server of a remote name in \\server\share form; false for anything else (empty, no share,
// a path below the share, a drive name).
bool parseRemoteName(const std::u16string& name, std::u16string* server) {
  if (name.size() < 5 || name[0] != u'\\' || name[1] != u'\\') return false;
  const size_t slash = name.find(u'\\', 2);
  if (slash == std::u16string::npos || slash == 2 || slash + 1 == name.size()) return false;
  if (name.find(u'\\', slash + 1) != std::u16string::npos) return false;
  *server = name.substr(2, slash - 2);
  return true;
}

std::u16string serverOf(const std::string& sharePath) {
  std::u16string server;
  parseRemoteName(utf8ToUtf16(sharePath), &server);
  return server;
}

// Both absent (the process's own user) or the same name.
bool sameUser(const std::optional<std::string>& a, const std::optional<std::u16string>& b) {
  if (!a || !b) return !a && !b;
  return equalNoCase(utf8ToUtf16(*a), *b);
}

// A share without a user accepts the process's own credentials: no user name and no password. A
// share with one wants that name (any case) and its password exactly; an absent password there
// means none, which a null or empty password gives.
bool credentialsAccepted(const Share& share, const std::optional<std::u16string>& user,
                         const std::optional<std::u16string>& password) {
  if (!sameUser(share.user, user)) return false;
  const std::u16string given = password ? *password : std::u16string();
  if (!share.password) return given.empty();
  return password && given == utf8ToUtf16(*share.password);
}

DWORD fail(DWORD error) {
  // The reference pages define only the returned number; Windows leaves it in the last error too.
  SetLastError(error);
  return error;
}

}  // namespace

extern "C" {

DWORD WINAPI WNetAddConnection2W(LPNETRESOURCEW netResource, LPCWSTR password, LPCWSTR userName, DWORD flags) {
  uint32_t error;
  const bool fault = enter(__func__, &error);
  State& s = state();
  Lock lock(s.mutex);
  ConnectArgs args;
  if (netResource) {
    args.remoteName = optionalWide(netResource->lpRemoteName);
    args.type = netResource->dwType;
    args.localNameNull = netResource->lpLocalName == nullptr;
  }
  args.user = optionalWide(userName);
  args.password = optionalWide(password);
  args.flags = flags;
  s.lastConnect = args;
  if (fault) return fail(error);

  if (!netResource) return fail(ERROR_INVALID_PARAMETER);
  const DWORD type = netResource->dwType;
  if (type != RESOURCETYPE_ANY && type != RESOURCETYPE_DISK && type != RESOURCETYPE_PRINT)
    return fail(ERROR_INVALID_PARAMETER);
  // Drive letters are not simulated: only deviceless connections exist here.
  if (netResource->lpLocalName && netResource->lpLocalName[0]) return fail(kErrorBadDevice);

  const std::u16string remote = fromWide(netResource->lpRemoteName);
  std::u16string server;
  if (!parseRemoteName(remote, &server)) return fail(ERROR_BAD_NET_NAME);
  const auto& shares = s.machine.shares;
  if (std::none_of(shares.begin(), shares.end(),
                   [&](const Share& sh) { return equalNoCase(serverOf(sh.path), server); }))
    return fail(ERROR_BAD_NETPATH);
  // One user name per server: the client refuses a second one before it asks the server anything.
  for (const Connection& c : s.connections)
    if (equalNoCase(serverOf(c.path), server) && !sameUser(c.user, args.user))
      return fail(ERROR_SESSION_CREDENTIAL_CONFLICT);
  auto share = std::find_if(shares.begin(), shares.end(),
                            [&](const Share& sh) { return equalNoCase(utf8ToUtf16(sh.path), remote); });
  if (share == shares.end()) return fail(ERROR_BAD_NET_NAME);
  if (!credentialsAccepted(*share, args.user, args.password)) return fail(ERROR_LOGON_FAILURE);

  // Connecting again with the same user reuses the connection: net use shows it once.
  for (const Connection& c : s.connections)
    if (equalNoCase(c.path, share->path)) return NO_ERROR;
  Connection connection;
  connection.path = share->path;
  if (args.user) connection.user = utf16ToUtf8(*args.user);
  s.connections.push_back(std::move(connection));
  return NO_ERROR;
}

DWORD WINAPI WNetCancelConnection2W(LPCWSTR name, DWORD flags, BOOL force) {
  (void)flags;  // there is no profile to update
  (void)force;  // nothing is ever open on a simulated connection
  uint32_t error;
  if (enter(__func__, &error)) return fail(error);
  if (!name) return fail(ERROR_INVALID_PARAMETER);
  State& s = state();
  Lock lock(s.mutex);
  const std::u16string remote(name);
  const auto before = s.connections.size();
  s.connections.erase(std::remove_if(s.connections.begin(), s.connections.end(),
                                     [&](const Connection& c) { return equalNoCase(utf8ToUtf16(c.path), remote); }),
                      s.connections.end());
  if (s.connections.size() == before) return fail(ERROR_NOT_CONNECTED);
  return NO_ERROR;
}

}  // extern "C"
