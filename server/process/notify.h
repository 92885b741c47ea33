// Readiness notification to a service manager: the datagram socket named by
// $NOTIFY_SOCKET (a path, or an abstract name written with a leading '@').
#pragma once

// Takes $NOTIFY_SOCKET into the process and removes it from the environment,
// so that the logger, the children and the programs they run never see it.
// Called first thing in main.
void CaptureNotifySocket();

// Sends "READY=1" and the master's pid once the master listens. Does nothing
// when no socket was given. Returns 0, or -1 (logged) when the message could
// not be sent.
int NotifyReady();
