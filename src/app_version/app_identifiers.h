// The names the program is known by on the desktop: its user defaults'
// organization and application, and its reverse-DNS identifier (desktop
// file, icon, lock folder, D-Bus names). Changing one moves the user's
// settings and lock.
#pragma once

#include <QLatin1StringView>

namespace app_identifiers {
inline constexpr QLatin1StringView kOrganization{"quillfen"};
inline constexpr QLatin1StringView kApplication{"burrowlens"};
inline constexpr QLatin1StringView kReverseDns{"com.quillfen.burrowlens"};
} // namespace app_identifiers
