// Ready-made reply frames of the generic services (whole FLAP frames; the sequence number
// and request id are filled in when one is sent).
#pragma once
#include <cstdint>
#include <vector>

const std::vector<uint8_t>& ServiceFamiliesFrame();
const std::vector<uint8_t>& MotdFrame();
const std::vector<uint8_t>& RateInfoFrame();
const std::vector<uint8_t>& LocationRightsFrame();
const std::vector<uint8_t>& BuddyRightsFrame();
const std::vector<uint8_t>& MessagingParamsFrame();
const std::vector<uint8_t>& PrivacyRightsFrame();

// A channel-2 frame holding a SNAC header (request id 0) and the given body.
std::vector<uint8_t> SnacTemplate(uint16_t family, uint16_t subtype, const std::vector<uint8_t>& body);
