#pragma once

// Patches the usbfs entry of /etc/fstab after backing the table up to
// /etc/fstab.bak, reports on standard error, and returns the exit status.
int run_update();
