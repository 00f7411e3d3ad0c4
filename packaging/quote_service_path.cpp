// The installer's custom action QuoteServicePath: gives the service the
// quoted path of its executable (CustomActionData), so that the space in
// "Program Files" cannot make the SCM start another program, whatever
// installer ran the package (Wine's leaves the path unquoted).
#include "service_handle.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

constexpr const char* service_name = "NolvaneSvc";

std::string custom_action_data(MSIHANDLE install) {
  char empty[1] = "";
  DWORD size = 0;
  if (MsiGetPropertyA(install, "CustomActionData", empty, &size) != ERROR_MORE_DATA) return {};
  std::string data(size + 1, '\0');
  size += 1;
  if (MsiGetPropertyA(install, "CustomActionData", data.data(), &size) != ERROR_SUCCESS) return {};
  data.resize(size);
  return data;
}

bool set_binary_path(const std::string& quoted_path) {
  ostrel::unique_service_handle manager(OpenSCManagerA(/*lpMachineName=*/nullptr, /*lpDatabaseName=*/nullptr,
                                                       SC_MANAGER_CONNECT));
  if (!manager) return false;
  ostrel::unique_service_handle service(OpenServiceA(manager.get(), service_name, SERVICE_CHANGE_CONFIG));
  if (!service) return false;
  return ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              quoted_path.c_str(), /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr,
                              /*lpDependencies=*/nullptr, /*lpServiceStartName=*/nullptr, /*lpPassword=*/nullptr,
                              /*lpDisplayName=*/nullptr) != FALSE;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall QuoteServicePath(MSIHANDLE install) {
  const std::string path = custom_action_data(install);
  if (path.empty()) return ERROR_INSTALL_FAILURE;
  return set_binary_path("\"" + path + "\"") ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
