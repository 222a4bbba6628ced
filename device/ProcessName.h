#pragma once

// Writes the first 16 characters of process `pid`'s name, as the process table holds it, into
// `name`, which must have room for 17 bytes (all 17 are zeroed first). False when `name` is
// null, the table cannot be read or there is no such process.
bool GetProcessNameFromPID(int pid, char* name);
