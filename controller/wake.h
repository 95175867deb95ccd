// Waking a silent controller with carriage returns, and the security
// dialogue that may follow: the operator's password keys passed straight to
// the controller (never stored), "N" to "Enable Security", and "BYE!".
#pragma once

// Never returns: every outcome is a Recheck, notResponding or an end.
[[noreturn]] void wakeController();
[[noreturn]] void securityDialogue();


