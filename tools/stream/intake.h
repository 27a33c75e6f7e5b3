// The stream's page port: many senders at once, so that no peer can hold the
// pages of another. One thread polls the listening socket and up to 64
// connections; each connection is framed exactly as the preview frames one
// (feed/listener.h) and has its own 5 s from its accept, and a message is
// stored the moment it is complete, in the order in which messages complete.
// When a 65th sender arrives, the connection idle longest is cut.
//
// Every line goes through the stream's log (tools/stream/log.h), so the page
// path never waits for a log reader: one line per message on standard output,
// "page 20 stored, 1504 bytes, from 127.0.0.1" or "message of 32 bytes from
// 127.0.0.1: no page"; refused senders and failed reads on standard error.
#pragma once

#include "feed/net.h"

constexpr int kIntakeConnections = 64;  // connections served at once; a newer one cuts the idlest

// Starts the intake thread on listen_sock (from openListener) and returns at
// once. trace: each message's whole trace as well, as the preview writes it
// (the "expected" lines, the message and its size, warnings and the alert
// switch), written in one piece before its page line. Returns false when the
// thread could not be started. The thread is never stopped; it ends with the
// process.
bool startIntake(NetSocket listen_sock, bool trace);
