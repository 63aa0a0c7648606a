// The C interface of libVornAX over the Cmd class.
#include "VornAX/vornax.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "VornAX/cmd.h"

#define VORNAX_EXPORT extern "C" __attribute__((visibility("default")))

struct Cmd {
  vorn::ax::Cmd obj;
};

namespace {

using vorn::ax::OptText;

int32_t GetText(Cmd* cmd, char** value, const OptText& (vorn::ax::Cmd::*get)() const) {
  if (cmd == nullptr || value == nullptr) return VORNAX_E_POINTER;
  *value = nullptr;
  const OptText& text = (cmd->obj.*get)();
  if (!text) return VORNAX_S_OK;
  char* copy = static_cast<char*>(std::malloc(text->size() + 1));
  if (copy == nullptr) return VORNAX_E_OUTOFMEMORY;
  std::memcpy(copy, text->c_str(), text->size() + 1);
  *value = copy;
  return VORNAX_S_OK;
}

int32_t PutText(Cmd* cmd, const char* value, void (vorn::ax::Cmd::*set)(OptText)) {
  if (cmd == nullptr) return VORNAX_E_POINTER;
  try {
    (cmd->obj.*set)(value != nullptr ? OptText(value) : std::nullopt);
  } catch (const std::bad_alloc&) {
    return VORNAX_E_OUTOFMEMORY;
  }
  return VORNAX_S_OK;
}

template <typename T>
int32_t GetNumber(Cmd* cmd, T* value, T (vorn::ax::Cmd::*get)() const) {
  if (cmd == nullptr || value == nullptr) return VORNAX_E_POINTER;
  *value = (cmd->obj.*get)();
  return VORNAX_S_OK;
}

template <typename T>
int32_t PutNumber(Cmd* cmd, T value, void (vorn::ax::Cmd::*set)(T)) {
  if (cmd == nullptr) return VORNAX_E_POINTER;
  (cmd->obj.*set)(value);
  return VORNAX_S_OK;
}

// Methods report their outcome through Status; nothing escapes into the C caller.
int32_t RunMethod(Cmd* cmd, void (vorn::ax::Cmd::*method)()) {
  if (cmd == nullptr) return VORNAX_E_POINTER;
  try {
    (cmd->obj.*method)();
  } catch (...) {
  }
  return VORNAX_S_OK;
}

}  // namespace

VORNAX_EXPORT Cmd* Cmd_Create(void) { return new (std::nothrow) Cmd; }

VORNAX_EXPORT void Cmd_Release(Cmd* cmd) { delete cmd; }

VORNAX_EXPORT int32_t Cmd_SendMsg(Cmd* cmd) { return RunMethod(cmd, &vorn::ax::Cmd::SendMsg); }

VORNAX_EXPORT int32_t Cmd_SendFile(Cmd* cmd) { return RunMethod(cmd, &vorn::ax::Cmd::SendFile); }

VORNAX_EXPORT int32_t Cmd_GetUinInfo(Cmd* cmd, uint32_t uin) {
  if (cmd == nullptr) return VORNAX_E_POINTER;
  try {
    cmd->obj.GetUinInfo(uin);
  } catch (...) {
  }
  return VORNAX_S_OK;
}

VORNAX_EXPORT int32_t Cmd_get_Status(Cmd* cmd, int32_t* value) {
  return GetNumber(cmd, value, &vorn::ax::Cmd::Status);
}

VORNAX_EXPORT int32_t Cmd_get_ICQServer(Cmd* cmd, char** value) {
  return GetText(cmd, value, &vorn::ax::Cmd::Server);
}

VORNAX_EXPORT int32_t Cmd_put_ICQServer(Cmd* cmd, const char* value) {
  return PutText(cmd, value, &vorn::ax::Cmd::SetServer);
}

VORNAX_EXPORT int32_t Cmd_get_ICQPort(Cmd* cmd, uint16_t* value) {
  return GetNumber(cmd, value, &vorn::ax::Cmd::Port);
}

VORNAX_EXPORT int32_t Cmd_put_ICQPort(Cmd* cmd, uint16_t value) {
  return PutNumber(cmd, value, &vorn::ax::Cmd::SetPort);
}

VORNAX_EXPORT int32_t Cmd_get_Message(Cmd* cmd, char** value) {
  return GetText(cmd, value, &vorn::ax::Cmd::Message);
}

VORNAX_EXPORT int32_t Cmd_put_Message(Cmd* cmd, const char* value) {
  return PutText(cmd, value, &vorn::ax::Cmd::SetMessage);
}

VORNAX_EXPORT int32_t Cmd_get_MessageFile(Cmd* cmd, char** value) {
  return GetText(cmd, value, &vorn::ax::Cmd::MessageFile);
}

VORNAX_EXPORT int32_t Cmd_put_MessageFile(Cmd* cmd, const char* value) {
  return PutText(cmd, value, &vorn::ax::Cmd::SetMessageFile);
}

VORNAX_EXPORT int32_t Cmd_get_UINto(Cmd* cmd, int32_t* value) {
  return GetNumber(cmd, value, &vorn::ax::Cmd::UinTo);
}

VORNAX_EXPORT int32_t Cmd_put_UINto(Cmd* cmd, int32_t value) {
  return PutNumber(cmd, value, &vorn::ax::Cmd::SetUinTo);
}

VORNAX_EXPORT int32_t Cmd_get_UINfrom(Cmd* cmd, int32_t* value) {
  return GetNumber(cmd, value, &vorn::ax::Cmd::UinFrom);
}

VORNAX_EXPORT int32_t Cmd_put_UINfrom(Cmd* cmd, int32_t value) {
  return PutNumber(cmd, value, &vorn::ax::Cmd::SetUinFrom);
}

VORNAX_EXPORT int32_t Cmd_get_uinInfo(Cmd* cmd, uint8_t tp, uint32_t* value) {
  if (cmd == nullptr || value == nullptr) return VORNAX_E_POINTER;
  *value = cmd->obj.UinInfo(tp);
  return VORNAX_S_OK;
}

VORNAX_EXPORT void Cmd_FreeString(char* text) { std::free(text); }
