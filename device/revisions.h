#ifndef ORVIK_REVISIONS_H
#define ORVIK_REVISIONS_H

// The device revisions this build's firmware packages bring, compared as whole
// strings with what the device reports. The window, the simulator's defaults
// and the benchmark all read them here: change them together with the packages.
inline constexpr char RequiredHwRev[] = "7315";
inline constexpr char RequiredFwRev[] = "11.0.0";
inline constexpr char RequiredSwRev[] = "1.5.3";

#endif // ORVIK_REVISIONS_H
