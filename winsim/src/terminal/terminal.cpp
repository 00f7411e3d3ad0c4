// WTSQueryUserToken: the primary token of the user logged on to a session,
// as a handle that CloseHandle closes and CreateProcessAsUserA accepts.
#include "terminal/token.h"

#include <winsim/machine.h>
#include <wtsapi32.h>

#include <atomic>

namespace {

struct terminal_state {
  std::atomic<bool> user_logged_on{true};
  std::atomic<size_t> open_tokens{0};
};

terminal_state& state() {
  static terminal_state* s = [] {
    auto* created = new terminal_state;
    winsim::detail::on_reset([created] { created->user_logged_on = true; });
    return created;
  }();
  return *s;
}

// Counts itself so tests can tell that every token was closed.
class counted_token : public winsim::detail::token_object {
 public:
  explicit counted_token(DWORD session_id) : token_object(session_id) { ++state().open_tokens; }
  ~counted_token() override { --state().open_tokens; }
};

}  // namespace

BOOL WINAPI WTSQueryUserToken(ULONG session_id, PHANDLE token) {
  DWORD error = 0;
  if (winsim::detail::should_fail("WTSQueryUserToken", &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (token == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD console = [] {
    const winsim::detail::internal_calls internal;
    return WTSGetActiveConsoleSessionId();
  }();
  // Only the console session exists besides session 0, where services run
  // and nobody ever logs on.
  if (session_id != 0 && (console == 0xFFFFFFFF || session_id != console)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (session_id == 0 || !state().user_logged_on) {
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
  }
  *token = winsim::detail::insert_handle(std::make_shared<counted_token>(session_id));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace winsim::machine {

void set_console_user_logged_on(bool logged_on) { state().user_logged_on = logged_on; }
bool console_user_logged_on() { return state().user_logged_on; }
size_t open_token_count() { return state().open_tokens; }

}  // namespace winsim::machine
