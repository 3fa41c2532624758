// The exit status of a usage error, the same in every program (apart so that code without the
// command-line parser can name it too).
#pragma once

inline constexpr int kExitUsage = 2;
