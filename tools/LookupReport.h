// Boots the simulated platform on a flash image and runs the driver's own
// entry lookups on it, reporting what the firmware-directory layer found:
// the processor's table rows, the signature block, the level-1 directory,
// the A/B description, the level-2 directory searched, and each lookup with
// the flash and register traffic it caused.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace ftpm::tools {

// The types the recovery handler erases, then the level-2 pointer type: the
// lookups run in this order in one boot.
inline constexpr uint32_t kInspectedTypes[] = {0x04, 0x54, 0x40};

// One boot of the simulated platform with CPUID 0x80000001 EAX = Cpu and the
// RecoveryFlag register reading Flag. The report is a JSON object; its
// "lookups" member maps "0x04", "0x54" and "0x40" to {"found", "address",
// "size"} (hexadecimal strings, null when not found) and the traffic seen.
nlohmann::json InspectImage(const std::vector<uint8_t>& image, uint32_t cpu, uint32_t flag);

// The same report as readable text.
std::string FormatInspection(const nlohmann::json& report);

}  // namespace ftpm::tools
