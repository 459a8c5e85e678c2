// The app's one data-access object: owns the RPC client, keeps the last system
// information and USB Type-C texts the service served, and offers the pages blocking
// reads and launches that run the RPC work as a task and its continuation.
//
// Threads: the blocking operations run from a page's background task while the UI
// thread may call InitialiseRpcConnection, the getters and GetSysInfo/GetUsbTypeCInfo.
// Two locks keep that sound, neither held across a call to the service:
//  - m_stateMutex guards the client pointer, the three flags and the two buffers (held
//    for pointer swaps and buffer copies only);
//  - each client's own call lock serialises the calls made on one RpcClient (its
//    context and binding are not for concurrent use). A client replaced while a call
//    on it runs stays alive until that call has returned (shared ownership).
// Reads land in a buffer of their own first and are copied into the kept buffer under
// m_stateMutex, so a reader of the kept text never sees it half written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Korvo_Tallisk {

class RpcClient;

class MainViewModel {
 public:
  static constexpr std::size_t kSysDataSize = 1000;
  static constexpr std::size_t kUsbTypeCDataSize = 500;

  // The process's view model, made by the first call; it lives until the process ends.
  static std::shared_ptr<MainViewModel> GetInstance();
  // A view model of its own (tests).
  static std::shared_ptr<MainViewModel> Create();

  ~MainViewModel();
  MainViewModel(const MainViewModel&) = delete;
  MainViewModel& operator=(const MainViewModel&) = delete;

  void LaunchSysInfo();
  void LaunchUSBC();
  void GetSysInfo(char16_t* pSysData, std::size_t size);
  void GetUsbTypeCInfo(char16_t* pUsbTypeCData, std::size_t size);
  void ReadSysInfoDetailsAsync();
  void ReadUsbTypeCInfoDetailsAsync();
  std::int64_t InitialiseRpcConnection();
  std::int64_t ReadSysInfo(char16_t* pSysData, std::size_t size);
  std::int64_t ReadUSBTypeCInfo(char16_t* pUsbTypeCData, std::size_t size);
  bool IsSysInfoReadCompleted() const;
  bool IsUsbTypeCInfoReadCompleted() const;
  bool IsRpcConnectionInitialised() const;
  // How the last ReadSysInfoDetailsAsync / ReadUsbTypeCInfoDetailsAsync ended, so a page
  // can tell the user why a read failed: the connection's status when connecting failed,
  // else the read's (0 success, -1 local failure, else an RPC status or exception code).
  // 0 before the first read.
  std::int64_t LastSysInfoStatus() const;
  std::int64_t LastUsbTypeCInfoStatus() const;

 private:
  struct Client;
  struct ReadTexts;
  struct CopyTexts;
  MainViewModel();

  std::int64_t ReadWith(const ReadTexts& texts, char16_t* buffer, std::size_t size,
                        std::int64_t (RpcClient::*read)(char16_t*, std::int32_t));
  void CopyOut(const CopyTexts& texts, char16_t* destination, std::size_t size,
               const std::unique_ptr<char16_t[]>& kept);

  std::shared_ptr<Client> CurrentClient() const;
  // Step A of every chain: connect unless connected; the connection's status.
  std::int64_t ConnectStep(const char* tag);
  // Step B of a read: `read` into a scratch buffer of `capacity` + 1, then into `kept`.
  // `connectStatus` is step A's, kept as the read's status when it failed.
  void ReadStep(const char* tag, bool usbTypeC, std::int64_t connectStatus);
  void LaunchStep(bool usbTypeC);

  mutable std::mutex m_stateMutex;
  std::shared_ptr<Client> m_RpcClient;
  std::unique_ptr<char16_t[]> m_pSysData;
  std::unique_ptr<char16_t[]> m_pUsbTypeCData;
  bool m_bSysInfoReadCompleted = false;
  bool m_bUsbTypeCInfoReadCompleted = false;
  bool m_bRpcConnectionInitialised = false;
  std::int64_t m_lastSysInfoStatus = 0;
  std::int64_t m_lastUsbTypeCInfoStatus = 0;
};

}  // namespace Korvo_Tallisk
