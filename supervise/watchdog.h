// The hardware watchdog descriptor, shared by the watchdog thread, the main
// loop and every running system termination. All access goes through these
// calls, which serialise on a small lock of their own, so a keep-alive can
// never reach a descriptor number that a termination has closed (and that a
// later open may have reused).
#pragma once

// Opens "/dev/watchdog" read-write, close-on-exec. 0 on success, -1 on failure
// (errno kept).
int WdtOpen();
// WDIOC_KEEPALIVE, when the device is open; result not examined.
void WdtKeepAlive();
// The board-specific request (number 12) with argument 0, when open.
void WdtBoardRequest();
// Closes the device once; later calls and keep-alives do nothing.
void WdtClose();
