// The room the system keeps for what comes to a socket: datagrams for the
// server, reports of errors that came back for the client.
#ifndef COMMON_RECEIVE_ROOM_H_
#define COMMON_RECEIVE_ROOM_H_

#include <cstddef>

// The room a program wants: deep enough for some 10 000 short datagrams,
// or as many reports of errors, to ride out a moment when it is not
// scheduled.
constexpr std::size_t deepest_queue = 8 << 20;

// Gives `sock` the deepest receive queue the system allows, up to
// deepest_queue where the cap may be passed; returns the size granted, in
// bytes as the system accounts them.
int deepen_queue(int sock);

#endif  // COMMON_RECEIVE_ROOM_H_
