// The receive and send steps of a session and the SNAC dispatcher.
#pragma once

struct ClientInfo;

// Reads what the socket holds and hands every whole frame to handleFrame (ReadFLAP, or a
// guarded call of it) in order; command frames are handled here. False when a frame is bad and
// the session must end; true also when a handler ended the session itself.
bool ReceiveStep(ClientInfo& c, void (*handleFrame)(ClientInfo&));
// Writes the next piece of the session's queue. False when the connection is gone.
bool SendStep(ClientInfo& c);
// Handles one complete frame and resumes reading.
void ReadFLAP(ClientInfo& c);
