#include "app/data/main_view_model.h"

#include <algorithm>
#include <new>

#include "app/data/rpc_client.h"
#include "app/data/text_copy.h"
#include "app/runtime/task.h"
#include "app/shell/logging_handler.h"

namespace Korvo_Tallisk {

using app_runtime::create_task;

namespace {

constexpr const char* kTag = "Korvo_Tallisk::MainViewModel::";

QString Tag(const char* operation) {
  return QString::fromLatin1(kTag) + QString::fromLatin1(operation);
}
void Line(const char* operation, const QString& text, LoggingLevel level = LoggingLevel::Verbose) {
  Log(Tag(operation), text, level);
}
QString Bool(bool value) {
  return value ? QStringLiteral("true") : QStringLiteral("false");
}

// The names of the chain steps, as the operation's lambdas.
constexpr const char* kReadSysInfoStepA = "ReadSysInfoDetailsAsync::<lambda_1>";
constexpr const char* kReadSysInfoStepB = "ReadSysInfoDetailsAsync::<lambda_2>";
constexpr const char* kReadUsbStepA = "ReadUsbTypeCInfoDetailsAsync::<lambda_1>";
constexpr const char* kReadUsbStepB = "ReadUsbTypeCInfoDetailsAsync::<lambda_2>";
constexpr const char* kLaunchSysInfoStepA = "LaunchSysInfo::<lambda_1>";
constexpr const char* kLaunchSysInfoStepB = "LaunchSysInfo::<lambda_2>";
constexpr const char* kLaunchUsbcStepA = "LaunchUSBC::<lambda_1>";
constexpr const char* kLaunchUsbcStepB = "LaunchUSBC::<lambda_2>";

// Capacities of the reads: one character of each buffer is never written, so the
// buffers always stay terminated.
constexpr std::size_t kSysDataCapacity = MainViewModel::kSysDataSize - 1;
constexpr std::size_t kUsbTypeCDataCapacity = MainViewModel::kUsbTypeCDataSize - 1;

std::unique_ptr<char16_t[]> Allocate(std::size_t size) {
  return std::unique_ptr<char16_t[]>(new (std::nothrow) char16_t[size]());
}

}  // namespace

// The texts of one read and of one copy-out, which differ only in their words.
struct MainViewModel::ReadTexts {
  const char* operation;
  const char* nullBuffer;
  const char* reading;
  const char* returned;
  const char* failed;
};
struct MainViewModel::CopyTexts {
  const char* operation;
  const char* nullDestination;
  const char* nullKept;
  const char* failed;
};

// One RpcClient and the lock that serialises the calls made on it.
struct MainViewModel::Client {
  std::mutex callMutex;
  std::unique_ptr<RpcClient> rpc;
};

std::shared_ptr<MainViewModel> MainViewModel::GetInstance() {
  // Never destroyed: the app's last lines and the service's context rundown at exit
  // need nothing of it, and a destructor running among the other statics at exit
  // would call into an RPC runtime that may already be gone.
  static const auto* instance = new std::shared_ptr<MainViewModel>(Create());
  return *instance;
}

std::shared_ptr<MainViewModel> MainViewModel::Create() {
  return std::shared_ptr<MainViewModel>(new MainViewModel());
}

MainViewModel::MainViewModel() {
  Line("MainViewModel", QStringLiteral("Entry"));
  m_pSysData = Allocate(kSysDataSize);
  if (!m_pSysData) Line("MainViewModel", QStringLiteral("m_pSysData creation failed"), LoggingLevel::Error);
  m_pUsbTypeCData = Allocate(kUsbTypeCDataSize);
  if (!m_pUsbTypeCData) Line("MainViewModel", QStringLiteral("m_pUsbTypeCData creation failed"), LoggingLevel::Error);
  Line("MainViewModel", QStringLiteral("Exit"));
}

MainViewModel::~MainViewModel() {
  Line("~MainViewModel", QStringLiteral("Entry"));
  if (m_pSysData) {
    Line("~MainViewModel", QStringLiteral("Deallocating m_pSysData"));
    m_pSysData.reset();
  }
  if (m_pUsbTypeCData) {
    Line("~MainViewModel", QStringLiteral("Deallocating m_pUsbTypeCData"));
    m_pUsbTypeCData.reset();
  }
  Line("~MainViewModel", QStringLiteral("Exit"));
  m_RpcClient.reset();  // closes the context, then frees the binding
}

std::shared_ptr<MainViewModel::Client> MainViewModel::CurrentClient() const {
  std::lock_guard lock(m_stateMutex);
  return m_RpcClient;
}

// ---- Connection -----------------------------------------------------------------------

std::int64_t MainViewModel::InitialiseRpcConnection() {
  Line("InitialiseRpcConnection", QStringLiteral("Entry"));
  {
    std::lock_guard lock(m_stateMutex);
    if (m_bRpcConnectionInitialised) {
      Line("InitialiseRpcConnection",
           QStringLiteral("Initialization already complete. Status = ") + Bool(m_bRpcConnectionInitialised));
      Line("InitialiseRpcConnection", QStringLiteral("Exit"));
      return 0;
    }
  }
  auto fresh = std::make_shared<Client>();
  fresh->rpc.reset(new (std::nothrow) RpcClient());
  std::shared_ptr<Client> previous;
  {
    std::lock_guard lock(m_stateMutex);
    previous = std::exchange(m_RpcClient, fresh->rpc ? fresh : nullptr);
  }
  previous.reset();  // outside the lock: closing its context is a call to the service
  if (!fresh->rpc) {
    Line("InitialiseRpcConnection", QStringLiteral("RPC Client Pointer Creation failed"), LoggingLevel::Error);
    Line("InitialiseRpcConnection", QStringLiteral("Exit"));
    return -1;
  }
  std::int64_t r = 0;
  {
    std::lock_guard call(fresh->callMutex);
    r = fresh->rpc->Connect();
  }
  Line("InitialiseRpcConnection", QStringLiteral("ReadSysInfo Initialization Return Status = ") + QString::number(r),
       LoggingLevel::Information);
  if (r != 0) {
    Line("InitialiseRpcConnection", QStringLiteral("ReadSysInfo  Initialization failed "), LoggingLevel::Error);
  } else {
    std::lock_guard lock(m_stateMutex);
    // A newer attempt made meanwhile owns the connection state.
    if (m_RpcClient == fresh) m_bRpcConnectionInitialised = true;
  }
  Line("InitialiseRpcConnection", QStringLiteral("Exit"));
  return r;
}

std::int64_t MainViewModel::ConnectStep(const char* tag) {
  Line(tag, QStringLiteral("Entry"));
  const std::int64_t r = InitialiseRpcConnection();
  if (r != 0) {
    Line(tag, QStringLiteral("RPC Client Initialization failed "), LoggingLevel::Error);
  }
  Line(tag, QStringLiteral("Exit"));
  return r;
}

// ---- Single reads ---------------------------------------------------------------------

std::int64_t MainViewModel::ReadWith(const ReadTexts& texts, char16_t* buffer, std::size_t size,
                                     std::int64_t (RpcClient::*read)(char16_t*, std::int32_t)) {
  Line(texts.operation, QStringLiteral("Entry"));
  std::int64_t r = -1;
  if (buffer == nullptr) {
    Line(texts.operation, QString::fromLatin1(texts.nullBuffer), LoggingLevel::Error);
  } else {
    Line(texts.operation, QString::fromLatin1(texts.reading));
    const auto client = CurrentClient();
    if (!client) {
      Line(texts.operation, QStringLiteral("RPC Client pointer is NULL"), LoggingLevel::Error);
    } else {
      {
        std::lock_guard call(client->callMutex);
        r = (client->rpc.get()->*read)(buffer, static_cast<std::int32_t>(size));
      }
      Line(texts.operation, QString::fromLatin1(texts.returned) + QString::number(r), LoggingLevel::Information);
      if (r != 0) Line(texts.operation, QString::fromLatin1(texts.failed), LoggingLevel::Error);
    }
  }
  Line(texts.operation, QStringLiteral("Exit"));
  return r;
}

std::int64_t MainViewModel::ReadSysInfo(char16_t* pSysData, std::size_t size) {
  static constexpr ReadTexts kTexts{"ReadSysInfo", "Sys Info Buffer in NULL", "Reading System Info Details ... ",
                                    "ReadSysInfo() Returned Status = ", "ReadSysInfo() failed"};
  return ReadWith(kTexts, pSysData, size, &RpcClient::ReadSysInfo);
}

std::int64_t MainViewModel::ReadUSBTypeCInfo(char16_t* pUsbTypeCData, std::size_t size) {
  static constexpr ReadTexts kTexts{"ReadUSBTypeCInfo", "UsbTypeCInfo buffer is NULL", "Reading Usb TypeC Info ... ",
                                    "ReadUSBTypeCInfo() Returned Status = ", "ReadUSBTypeCInfo() failed"};
  return ReadWith(kTexts, pUsbTypeCData, size, &RpcClient::ReadUSBTypeCInfo);
}

// ---- Chained reads --------------------------------------------------------------------

void MainViewModel::ReadStep(const char* tag, bool usbTypeC, std::int64_t connectStatus) {
  Line(tag, QStringLiteral("Entry"));
  const std::size_t capacity = usbTypeC ? kUsbTypeCDataCapacity : kSysDataCapacity;
  const QString statusText =
      usbTypeC ? QStringLiteral("ReadUSBTypeCInfo Return Status = ") : QStringLiteral("ReadSysInfo Return Status = ");
  bool haveBuffer = false;
  {
    std::lock_guard lock(m_stateMutex);
    (usbTypeC ? m_bUsbTypeCInfoReadCompleted : m_bSysInfoReadCompleted) = false;
    haveBuffer = usbTypeC ? m_pUsbTypeCData != nullptr : m_pSysData != nullptr;
  }
  auto received = Allocate(capacity + 1);
  std::int64_t r = -1;
  if (received) r = usbTypeC ? ReadUSBTypeCInfo(received.get(), capacity) : ReadSysInfo(received.get(), capacity);
  Line(tag, statusText + QString::number(r), LoggingLevel::Information);
  {
    // A failed connection is the cause of the failed read that follows it.
    std::lock_guard lock(m_stateMutex);
    std::int64_t status = haveBuffer ? 0 : -1;
    if (r != 0) status = connectStatus != 0 ? connectStatus : r;
    (usbTypeC ? m_lastUsbTypeCInfoStatus : m_lastSysInfoStatus) = status;
  }
  if (r != 0 || !haveBuffer) {
    Line(tag,
         usbTypeC ? QStringLiteral("Reading USBTypeC Info data not completed!")
                  : QStringLiteral("Reading System Info data not completed!"),
         LoggingLevel::Error);
    Line(tag, QStringLiteral("Exit"));
    return;
  }
  bool connected = false;
  {
    std::lock_guard lock(m_stateMutex);
    char16_t* kept = usbTypeC ? m_pUsbTypeCData.get() : m_pSysData.get();
    std::copy_n(received.get(), capacity, kept);
    (usbTypeC ? m_bUsbTypeCInfoReadCompleted : m_bSysInfoReadCompleted) = true;
    connected = m_bRpcConnectionInitialised;
  }
  Line(tag, statusText + QString::number(r), LoggingLevel::Information);
  Line(tag, QStringLiteral("RPC Connection Status = ") + Bool(connected), LoggingLevel::Information);
  Line(tag, QStringLiteral("Exit"));
}

void MainViewModel::ReadSysInfoDetailsAsync() {
  Line("ReadSysInfoDetailsAsync", QStringLiteral("Entry"));
  bool haveBuffer = false;
  {
    std::lock_guard lock(m_stateMutex);
    haveBuffer = m_pSysData != nullptr;
  }
  if (!haveBuffer) {
    Line("ReadSysInfoDetailsAsync", QStringLiteral("m_pSysData Data is NULL"), LoggingLevel::Error);
  } else {
    // The caller blocks until both steps have run; a failure of either reaches it.
    create_task([this] {
      return ConnectStep(kReadSysInfoStepA);
    }).then([this](std::int64_t connected) {
        ReadStep(kReadSysInfoStepB, false, connected);
      }).get();
  }
  Line("ReadSysInfoDetailsAsync", QStringLiteral("Exit"));
}

void MainViewModel::ReadUsbTypeCInfoDetailsAsync() {
  Line("ReadUsbTypeCInfoDetailsAsync", QStringLiteral("Entry"));
  bool haveBuffer = false;
  {
    std::lock_guard lock(m_stateMutex);
    haveBuffer = m_pUsbTypeCData != nullptr;
  }
  if (!haveBuffer) {
    Line("ReadUsbTypeCInfoDetailsAsync", QStringLiteral("m_pUsbTypeCData Data is NULL"), LoggingLevel::Error);
  } else {
    create_task([this] {
      return ConnectStep(kReadUsbStepA);
    }).then([this](std::int64_t connected) {
        ReadStep(kReadUsbStepB, true, connected);
      }).get();
  }
  Line("ReadUsbTypeCInfoDetailsAsync", QStringLiteral("Exit"));
}

// ---- Launches -------------------------------------------------------------------------

void MainViewModel::LaunchStep(bool usbTypeC) {
  const char* tag = usbTypeC ? kLaunchUsbcStepB : kLaunchSysInfoStepB;
  Line(tag, QStringLiteral("Entry"));
  std::shared_ptr<Client> client;
  {
    std::lock_guard lock(m_stateMutex);
    if (m_bRpcConnectionInitialised) client = m_RpcClient;
  }
  if (client) {
    std::int64_t r = 0;
    {
      std::lock_guard call(client->callMutex);
      r = usbTypeC ? client->rpc->StartUSBC() : client->rpc->StartMSInfoApp();
    }
    Line(tag,
         (usbTypeC ? QStringLiteral("StartUSBC return = ") : QStringLiteral("StartMSInfoApp return = ")) +
             QString::number(r),
         LoggingLevel::Information);
  } else {
    Line(tag, QStringLiteral("RPC Client pointer is NULL"), LoggingLevel::Error);
  }
  Line(tag, QStringLiteral("Exit"));
}

void MainViewModel::LaunchSysInfo() {
  Line("LaunchSysInfo", QStringLiteral("Entry"));
  create_task([this] { ConnectStep(kLaunchSysInfoStepA); }).then([this] { LaunchStep(false); }).get();
  Line("LaunchSysInfo", QStringLiteral("Exit"));
}

void MainViewModel::LaunchUSBC() {
  Line("LaunchUSBC", QStringLiteral("Entry"));
  create_task([this] { ConnectStep(kLaunchUsbcStepA); }).then([this] { LaunchStep(true); }).get();
  Line("LaunchUSBC", QStringLiteral("Exit"));
}

// ---- Kept texts -----------------------------------------------------------------------

void MainViewModel::CopyOut(const CopyTexts& texts, char16_t* destination, std::size_t size,
                            const std::unique_ptr<char16_t[]>& kept) {
  Line(texts.operation, QStringLiteral("Entry"));
  std::lock_guard lock(m_stateMutex);
  if (destination == nullptr) {
    Line(texts.operation, QString::fromLatin1(texts.nullDestination), LoggingLevel::Error);
    if (!kept) Line(texts.operation, QString::fromLatin1(texts.nullKept), LoggingLevel::Error);
  } else if (!kept) {
    Line(texts.operation, QString::fromLatin1(texts.nullKept), LoggingLevel::Error);
  } else if (CopyText(destination, size, kept.get()) != 0) {
    Line(texts.operation, QString::fromLatin1(texts.failed), LoggingLevel::Error);
  }
  Line(texts.operation, QStringLiteral("Exit"));
}

void MainViewModel::GetSysInfo(char16_t* pSysData, std::size_t size) {
  static constexpr CopyTexts kTexts{"GetSysInfo", "pSysData Pointer is NULL", "m_pSysData Pointer is NULL",
                                    "Failed to copy m_pSysData"};
  CopyOut(kTexts, pSysData, size, m_pSysData);
}

void MainViewModel::GetUsbTypeCInfo(char16_t* pUsbTypeCData, std::size_t size) {
  static constexpr CopyTexts kTexts{"GetUsbTypeCInfo", "pUsbTypeCData Pointer is NULL",
                                    "m_pUsbTypeCData Pointer is NULL", "Failed to copy m_pUsbTypeCData"};
  CopyOut(kTexts, pUsbTypeCData, size, m_pUsbTypeCData);
}

bool MainViewModel::IsSysInfoReadCompleted() const {
  std::lock_guard lock(m_stateMutex);
  return m_bSysInfoReadCompleted;
}

bool MainViewModel::IsUsbTypeCInfoReadCompleted() const {
  std::lock_guard lock(m_stateMutex);
  return m_bUsbTypeCInfoReadCompleted;
}

bool MainViewModel::IsRpcConnectionInitialised() const {
  std::lock_guard lock(m_stateMutex);
  return m_bRpcConnectionInitialised;
}

std::int64_t MainViewModel::LastSysInfoStatus() const {
  std::lock_guard lock(m_stateMutex);
  return m_lastSysInfoStatus;
}

std::int64_t MainViewModel::LastUsbTypeCInfoStatus() const {
  std::lock_guard lock(m_stateMutex);
  return m_lastUsbTypeCInfoStatus;
}

}  // namespace Korvo_Tallisk
