#ifndef ORVIK_VERSIONS_H
#define ORVIK_VERSIONS_H

// The tool's own version and the device revisions it is built for. The
// revisions are compared as whole strings with what the device reports and
// shown on the About panel, so they live in this one place.
inline constexpr char OrvikConfigVersion[] = "1.5.3.0";
inline constexpr char RequiredHwRev[] = "7315";
inline constexpr char RequiredFwRev[] = "11.0.0";
inline constexpr char RequiredSwRev[] = "1.5.3";

#endif // ORVIK_VERSIONS_H
