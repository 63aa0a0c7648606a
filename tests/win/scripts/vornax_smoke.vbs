' Drives the command object the way an administrator's script does. Arguments: the server
' port, the recipient, the text. Prints one line per check and "VORNAX SMOKE OK" at the end
' (cscript's exit code does not tell a failed script from a good one).
Option Explicit
Dim port, uinTo, text, cmd, copy1, copy2, online, flags, external, other
port = CInt(WScript.Arguments(0))
uinTo = CLng(WScript.Arguments(1))
text = WScript.Arguments(2)

Set cmd = CreateObject("VornAX.Cmd")
If cmd.Status <> 0 Then Fail "new object status " & cmd.Status
' uinInfo is an unsigned long, a type VBScript cannot compare: CLng converts it first.
online = CLng(cmd.uinInfo)
external = CLng(cmd.uinInfo(1))
If online <> 65535 Then Fail "new object uinInfo " & online
If external <> 0 Then Fail "new object external address " & external

cmd.ICQServer = "127.0.0.1"
cmd.ICQPort = port
cmd.UINfrom = 1000
cmd.UINto = uinTo
cmd.Message = text
copy1 = cmd.ICQServer
copy2 = cmd.ICQServer
If copy1 <> "127.0.0.1" Or copy2 <> copy1 Then Fail "ICQServer reads back " & copy1
If CLng(cmd.ICQPort) <> port Or cmd.UINto <> uinTo Or cmd.Message <> text Then Fail "properties do not read back"

cmd.SendMsg
If cmd.Status <> 0 Then Fail "SendMsg status " & cmd.Status
WScript.Echo "sent"

cmd.GetUinInfo uinTo
If cmd.Status <> 0 Then Fail "GetUinInfo status " & cmd.Status
If cmd.UINto <> uinTo Then Fail "GetUinInfo left UINto at " & cmd.UINto
online = CLng(cmd.uinInfo)
flags = CLng(cmd.uinInfo(4))
external = CLng(cmd.uinInfo(1))
other = CLng(cmd.uinInfo(5))
WScript.Echo "online status " & online & " flags " & flags & " external " & external
If online <> 18 Then Fail "recipient's status is not the one it set (18)"
If external <> &H7F000001 Then Fail "external address is not 127.0.0.1"
If other <> online Then Fail "uinInfo(5) differs from the online status"

cmd.ICQServer = "no-such-host.invalid"
cmd.SendMsg
If cmd.Status <> -1 Then Fail "unresolvable server gives " & cmd.Status

WScript.Echo "VORNAX SMOKE OK"

Sub Fail(why)
  WScript.Echo "FAILED: " & why
  WScript.Quit 1
End Sub
