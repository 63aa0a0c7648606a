#pragma once

// Reads the data directory and the keys of vorn.ini the authorization server uses, logging each.
void LoadAuthConfiguration();
