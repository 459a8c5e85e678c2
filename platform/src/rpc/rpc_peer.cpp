// Who is at the other end of an endpoint's socket, as SIDs of the machine.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/machine.h"
#include "platform/memory.h"
#include "platform/security.h"
#include "platform/src/base/sha256.h"
#include "platform/src/host/files.h"
#include "platform/src/rpc/rpc_internal.h"
#include "platform/text.h"

namespace platform {
namespace {

std::filesystem::path AppContainerRecord(const std::filesystem::path& rpcDir, DWORD pid) {
  return rpcDir / "appcontainer" / (std::to_string(pid) + ".json");
}

std::filesystem::path RpcDir() {
  return CurrentMachine().Root() / "rpc";
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks since boot.
std::string ProcessStartTime(DWORD pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto paren = stat.rfind(')');
  if (paren == std::string::npos) return {};
  std::istringstream rest(stat.substr(paren + 2));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; ++i) {
    if (i == 22) return field;
  }
  return {};
}

void AddSid(std::vector<std::vector<BYTE>>& out, const std::wstring& text) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSid(text.c_str(), &sid)) return;
  const auto* b = static_cast<const BYTE*>(sid);
  out.emplace_back(b, b + GetLengthSid(sid));
  LocalFree(sid);
}

// S-1-15-2 followed by seven words of the digest of the upper-cased package name.
std::wstring PackageSid(const std::wstring& packageName) {
  std::string upper = WideToUtf8(packageName);
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto digest = base::detail::Sha256::Of(upper.data(), upper.size());
  std::wstring sid = L"S-1-15-2";
  for (int i = 0; i < 7; ++i) {
    DWORD word = 0;
    std::memcpy(&word, digest.data() + 4 * i, 4);
    sid += L"-" + std::to_wstring(word);
  }
  return sid;
}

}  // namespace

namespace rpc {

BOOL RegisterAppContainerProcess(DWORD pid, const std::wstring& packageName,
                                 const std::vector<std::wstring>& capabilityNames) {
  const std::string start = ProcessStartTime(pid);
  if (start.empty() || packageName.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  nlohmann::json record;
  record["startTime"] = start;
  record["package"] = WideToUtf8(packageName);
  record["capabilities"] = nlohmann::json::array();
  for (const auto& c : capabilityNames) record["capabilities"].push_back(WideToUtf8(c));
  const auto path = AppContainerRecord(RpcDir(), pid);
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (!host::WriteFileAtomically(path, record.dump())) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  return TRUE;
}

BOOL UnregisterAppContainerProcess(DWORD pid) {
  std::error_code ec;
  if (!std::filesystem::remove(AppContainerRecord(RpcDir(), pid), ec)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

namespace detail {

PeerIdentity IdentifyPeer(int fd, const std::filesystem::path& rpcDir) {
  PeerIdentity peer;
  struct ucred cred {};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return peer;
  peer.known = true;
  if (cred.uid == 0) {
    AddSid(peer.sids, L"S-1-5-18");
    AddSid(peer.sids, L"S-1-5-32-544");
  } else {
    AddSid(peer.sids, L"S-1-22-1-" + std::to_wstring(cred.uid));
    AddSid(peer.sids, L"S-1-5-32-545");
  }
  AddSid(peer.sids, L"S-1-22-2-" + std::to_wstring(cred.gid));
  AddSid(peer.sids, L"S-1-1-0");
  AddSid(peer.sids, L"S-1-5-11");
  AddSid(peer.sids, L"S-1-5-4");

  std::ifstream in(AppContainerRecord(rpcDir, static_cast<DWORD>(cred.pid)));
  if (!in) return peer;
  const auto record = nlohmann::json::parse(in, nullptr, false);
  if (!record.is_object() || record.value("startTime", "") != ProcessStartTime(static_cast<DWORD>(cred.pid))) {
    return peer;  // a record of an earlier process with the same id
  }
  peer.appContainer = true;
  AddSid(peer.sids, PackageSid(Utf8ToWide(record.value("package", ""))));
  for (const auto& name : record.value("capabilities", nlohmann::json::array())) {
    if (!name.is_string()) continue;
    const std::wstring wide = Utf8ToWide(name.get<std::string>());
    PSID* groups = nullptr;
    PSID* caps = nullptr;
    DWORD groupCount = 0, capCount = 0;
    if (!DeriveCapabilitySidsFromName(wide.c_str(), &groups, &groupCount, &caps, &capCount)) continue;
    for (DWORD i = 0; i < capCount; ++i) {
      const auto* b = static_cast<const BYTE*>(caps[i]);
      peer.sids.emplace_back(b, b + GetLengthSid(caps[i]));
      LocalFree(caps[i]);
    }
    for (DWORD i = 0; i < groupCount; ++i) LocalFree(groups[i]);
    LocalFree(caps);
    LocalFree(groups);
  }
  return peer;
}

bool PeerAllowed(const PeerIdentity& peer, const std::vector<BYTE>& descriptor) {
  if (descriptor.empty()) return true;
  if (!peer.known) return false;
  std::vector<const SID*> sids;
  for (const auto& s : peer.sids) sids.push_back(reinterpret_cast<const SID*>(s.data()));
  // The endpoint's only right is to connect; generic rights in its entries all include it.
  static const GENERIC_MAPPING mapping = {READ_CONTROL | 0x1, 0x2, 0x1, STANDARD_RIGHTS_REQUIRED | 0x3};
  DWORD granted = 0;
  BOOL status = FALSE;
  if (!AccessCheckBySids(descriptor.data(), sids, peer.appContainer, 0x1, &mapping, &granted, &status)) {
    return false;
  }
  return status == TRUE;
}

}  // namespace detail
}  // namespace rpc
}  // namespace platform
