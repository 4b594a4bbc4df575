// The status refresh: what every page of the web GUI shows about the array and its slots.
// Runs with the state lock held.
#pragma once

// Re-reads the driver (loading it and importing afresh when it is gone or the device set
// changed while stopped) and recomputes the derived status. Mode 1 also re-reads SMART.
void get_status(int mode);
// The array's and every slot's colour, spun-down flag and temperature. 0.
int get_statistics();
