// The system information record: the ten facts in the order the app reads them.

#include <iterator>

#include "service/logging/korvo_log.h"
#include "service/sysinfo/wmi_data.h"

namespace RpcServer {

void WMIData::FormatSysInfoString() {
  Korvo::Shared::TraceScope trace("RpcServer::WMIData::FormatSysInfoString");
  // This order is the record's, not the order of reading.
  std::wstring* const fields[] = {&m_csProductName, &m_csSKU,           &m_csBuildID,          &m_csMemory,
                                  &m_csProcessor,   &m_csBIOSVersion,   &m_csBaseBoardVersion, &m_csSerialNumber,
                                  &m_csFeatureByte, &m_csPasswordStatus};
  std::wstring record;
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    // A fact that was not read reads "null"; a single blank (an absent tag) stays.
    if (fields[i]->empty()) *fields[i] = L"null";
    if (i > 0) record += kSysInfoSeparator;
    record += *fields[i];
  }
  m_csSysInfo = record;
  trace.Out(L"System Info = %s", m_csSysInfo);
}

}  // namespace RpcServer
