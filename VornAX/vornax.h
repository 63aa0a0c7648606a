/* libVornAX: the Vorn command object for programs and scripts.
 *
 * A Cmd object holds the server address, port and message properties; each method runs one
 * whole exchange with VornBOS (connect, read the hello, send one frame, for GetUinInfo read
 * the status reply) and leaves its outcome in Status. Methods block for the exchange: up to
 * about 1.1 s for the hello, 9.3 s for a status reply, and a closing pause of 300 ms.
 *
 * Every function but Cmd_Create, Cmd_Release and Cmd_FreeString returns VORNAX_S_OK (0);
 * the string putters and getters may return VORNAX_E_OUTOFMEMORY, and any function given a
 * null object or a null result pointer returns VORNAX_E_POINTER and does nothing.
 *
 * Strings are narrow, zero-terminated text in the client's code page, passed through as the
 * message frame carries them. The string getters hand out a new copy (or a null pointer when
 * nothing is stored), which the caller frees with Cmd_FreeString.
 */
#ifndef VORNAX_H
#define VORNAX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VORNAX_S_OK ((int32_t)0)
#define VORNAX_E_OUTOFMEMORY ((int32_t)0x8007000E)
#define VORNAX_E_POINTER ((int32_t)0x80004003)

/* Values of Status. */
#define VORNAX_STATUS_OK 0
#define VORNAX_STATUS_NO_SERVER (-1)      /* server address could not be resolved */
#define VORNAX_STATUS_FILE_OPEN (-2)      /* message file could not be opened */
#define VORNAX_STATUS_FILE_TOO_LARGE (-3) /* message file over 8000 bytes or size unknown */
#define VORNAX_STATUS_NO_MEMORY (-4)      /* no memory for the frame, or text too long for it */
#define VORNAX_STATUS_FILE_READ_SHORT (-5) /* file read short; the message was sent anyway */
#define VORNAX_STATUS_SEND_FAILED (-6)
#define VORNAX_STATUS_NO_SOCKET (-7)
#define VORNAX_STATUS_CONNECT_FAILED (-8)
#define VORNAX_STATUS_NO_NETWORK (-10)    /* networking could not be started (not on POSIX) */
#define VORNAX_STATUS_NO_REPLY (-11)      /* the status reply did not arrive in full */

/* Fields of the last status reply, for Cmd_get_uinInfo's tp. */
#define VORNAX_INFO_ONLINE 0   /* any value not listed here also gives the online status */
#define VORNAX_INFO_EXTERNAL 1 /* address, first octet in the top byte */
#define VORNAX_INFO_INTERNAL 2
#define VORNAX_INFO_PORT 3
#define VORNAX_INFO_FLAGS 4

typedef struct Cmd Cmd;

/* A new object (null when out of memory), and its end. */
Cmd* Cmd_Create(void);
void Cmd_Release(Cmd* cmd);

int32_t Cmd_SendMsg(Cmd* cmd);
int32_t Cmd_SendFile(Cmd* cmd);
int32_t Cmd_GetUinInfo(Cmd* cmd, uint32_t uin);

int32_t Cmd_get_Status(Cmd* cmd, int32_t* value);

int32_t Cmd_get_ICQServer(Cmd* cmd, char** value);
int32_t Cmd_put_ICQServer(Cmd* cmd, const char* value);
int32_t Cmd_get_ICQPort(Cmd* cmd, uint16_t* value);
int32_t Cmd_put_ICQPort(Cmd* cmd, uint16_t value);
int32_t Cmd_get_Message(Cmd* cmd, char** value);
int32_t Cmd_put_Message(Cmd* cmd, const char* value);
int32_t Cmd_get_MessageFile(Cmd* cmd, char** value);
int32_t Cmd_put_MessageFile(Cmd* cmd, const char* value);
int32_t Cmd_get_UINto(Cmd* cmd, int32_t* value);
int32_t Cmd_put_UINto(Cmd* cmd, int32_t value);
int32_t Cmd_get_UINfrom(Cmd* cmd, int32_t* value);
int32_t Cmd_put_UINfrom(Cmd* cmd, int32_t value);

/* tp: one of VORNAX_INFO_*; pass 0 for the default (the online status, 0xFFFF = offline). */
int32_t Cmd_get_uinInfo(Cmd* cmd, uint8_t tp, uint32_t* value);

/* Frees a string returned by a getter; a null pointer is ignored. */
void Cmd_FreeString(char* text);

#ifdef __cplusplus
}
#endif

#endif /* VORNAX_H */
