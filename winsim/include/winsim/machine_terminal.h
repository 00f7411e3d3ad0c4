// Controls of the simulated Terminal Services: whether a user is logged on
// to the console session. The console session id itself belongs to the
// desktop (set_console_session_id), which every process of the machine sees.
#pragma once

#include <windows.h>

namespace winsim::machine {

// A new machine has a user logged on to the console session. Without one
// (the logon screen), WTSQueryUserToken fails with ERROR_NO_TOKEN.
void set_console_user_logged_on(bool logged_on);
bool console_user_logged_on();

// Tokens handed out by WTSQueryUserToken and not closed yet.
size_t open_token_count();

}  // namespace winsim::machine
