// ostrel_service_daemon: one desktop action or query per run, in the user's
// session, answered by exit code and output text.
#include "dispatch.h"

int main(int argc, char** argv) { return ostrel::daemon::run(argc, argv); }
