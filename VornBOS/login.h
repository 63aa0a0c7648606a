#pragma once

struct ClientInfo;

// Checks the cookie of a login frame against the cookie file of the user it names.
void LoginByCookie(ClientInfo& c);
