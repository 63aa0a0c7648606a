// The receive and send steps of a session and the SNAC dispatcher.
#pragma once

struct ClientInfo;

// Reads the next piece of the session's current frame. False when the frame is bad and the
// session must end.
bool ReceiveStep(ClientInfo& c);
// Writes the next piece of the session's queue. False when the connection is gone.
bool SendStep(ClientInfo& c);
// Handles one complete frame.
void ReadFLAP(ClientInfo& c);
