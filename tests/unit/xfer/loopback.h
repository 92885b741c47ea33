// A connected loopback TCP pair for the transfer tests: the server's end
// stands for the data (or control) connection, the client's end for the peer.
#pragma once

// 0 with both ends set, -1 (ends untouched) when the pair could not be made.
int MakeLoopbackPair(int *serverEnd, int *clientEnd);

#include <string>

// What a transfer test stands on: gData is our end of a loopback TCP
// connection and *client the peer's; gCtrl is one end of a socket pair whose
// other end, *replies, collects the replies; *dir is a new private directory
// /tmp/<prefix>.XXXXXX.  0, or -1 when any of it could not be made.
int OpenXferTestEnv(int *client, int *replies, std::string *dir, const char *prefix);
// Closes the three connections and removes the directory.
void CloseXferTestEnv(int client, int replies, const std::string &dir);
