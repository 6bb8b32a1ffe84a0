#include "tools/LookupReport.h"

#include <cstring>
#include <optional>
#include <sstream>

#include "directory/Discovery.h"
#include "directory/EntryLookup.h"
#include "directory/FlashReader.h"
#include "directory/Formats.h"
#include "directory/ProcessorIdentity.h"
#include "directory/Validation.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/Settings.h"
#include "tools/ImageLayout.h"

namespace ftpm::tools {

namespace {

using json = nlohmann::json;
using layout::Hex;
namespace dir = ftpm::directory;

std::string TypeKey(uint32_t type) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", type);
  return text;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case dir::kEntryFtpmNvram:
      return "ftpm-nvram";
    case dir::kEntryMvqNvram:
      return "mvq-nvram";
    case dir::kEntryL2Pointer:
      return "l2-pointer";
    case dir::kEntryAPointer:
    case 0x013C:
      return "a-pointer";
    case dir::kEntryBPointer:
    case 0x013D:
      return "b-pointer";
    default:
      return nullptr;
  }
}

json Entries(const void* copy, bool wide) {
  json entries = json::array();
  const dir::DirectoryEntry* entry = dir::EntriesOf(copy);
  for (uint32_t i = 0; i < dir::EntriesInCopy(copy); ++i) {
    const uint32_t word = entry[i].TypeWord;
    json e{{"index", i},
           {"type_word", Hex(word, 8)},
           {"type", wide ? Hex(word & dir::kWideTypeMask, 4) : Hex(word & dir::kTypeMask, 2)},
           {"size", Hex(entry[i].Size)},
           {"location", Hex(entry[i].Location)},
           {"mode", dir::LocationModeOf(entry[i].Location)}};
    if (!wide) {
      e["subtype"] = Hex((word & dir::kSubtypeMask) >> dir::kSubtypeShift, 2);
      e["variant"] = (word & dir::kVariantMask) >> dir::kVariantShift;
    }
    if (const char* name = TypeName(wide ? (word & dir::kWideTypeMask) : (word & dir::kTypeMask))) {
      e["name"] = name;
    }
    entries.push_back(e);
  }
  return entries;
}

json Directory(const std::vector<uint8_t>& copy, bool wide) {
  const dir::DirectoryHeader* header = dir::HeaderOf(copy.data());
  return json{{"cookie", layout::CookieText(header->Cookie)},
              {"checksum", Hex(header->Checksum, 8)},
              {"entry_count", header->EntryCount},
              {"info", Hex(header->Info)},
              {"entries", Entries(copy.data(), wide)}};
}

json Slot(const dir::AbSlot& slot) {
  return json{{"entry_index", slot.EntryIndex == dir::kEmptySlot ? json(nullptr) : json(slot.EntryIndex)},
              {"priority", static_cast<uint32_t>(slot.Priority)},
              {"aux1", Hex(slot.Aux1)},
              {"aux2", Hex(slot.Aux2)},
              {"l2_address", Hex(slot.L2Address)}};
}

// Host-side view of a 32-bit directory address, as the driver's reader
// resolves it: a flash offset or a 16 MB window address.
std::optional<std::vector<uint8_t>> ImageBytes(sim::Machine& m, uint32_t cpu, uint32_t address, size_t length) {
  uint64_t offset = 0;
  if (address < dir::kFlashOffsetLimit) {
    offset = dir::OffsetsUseWindow64M(cpu) != FALSE ? address : (address & (dir::kWindow16MSize - 1));
  } else if ((address & 0xFF000000) == dir::kWindow16MBase) {
    offset = address - dir::kWindow16MBase;
  } else {
    return std::nullopt;
  }
  if (offset + length > sim::kFlashSize) {
    return std::nullopt;
  }
  return m.flash.Read(offset, length);
}

json Traffic(const sim::Machine& m, size_t flashFrom, size_t registersFrom) {
  uint64_t loads = 0;
  uint64_t copies = 0;
  uint64_t bytes = 0;
  for (size_t i = flashFrom; i < m.flash.Log.size(); ++i) {
    const auto& access = m.flash.Log[i];
    (access.Kind == sim::FlashAccessKind::Load64 ? loads : copies) += 1;
    bytes += access.Length;
  }
  return json{{"flash_loads", loads},
              {"flash_mapped_copies", copies},
              {"flash_bytes", bytes},
              {"register_accesses", m.registers.Log.size() - registersFrom}};
}

json Processor(uint32_t cpu) {
  json processor{{"signature", Hex(cpu, 8)},
                 {"family", Hex(dir::ProcessorFamily(cpu), 2)},
                 {"model", Hex(dir::ProcessorModel(cpu), 2)},
                 {"stepping", cpu & 0xF},
                 {"offset_window", dir::OffsetsUseWindow64M(cpu) != FALSE ? "64M" : "16M"}};
  const dir::CpuIdentityRow* row = nullptr;
  if (dir::FindCpuIdentityRow(&row) != FALSE) {
    processor["identity_row"] = json{{"row", row - dir::kCpuIdentityTable},
                                     {"cpu_signature", Hex(row->CpuSignature, 8)},
                                     {"mvq_id", Hex(row->MvqId, 8)},
                                     {"ab_layout", row->AbLayout},
                                     {"entry_type_width", row->EntryTypeWidth == dir::kWideEntryTypes ? 16 : 8}};
  } else {
    processor["identity_row"] = nullptr;
  }
  const dir::SocInfoRow* soc = nullptr;
  if (dir::FindSocInfoRow(&soc) != FALSE) {
    processor["soc_info_row"] =
        json{{"row", soc - dir::kSocInfoTable}, {"recovery_flag_selector", soc->RecoveryFlagSelector}};
  } else {
    processor["soc_info_row"] = nullptr;
  }
  return processor;
}

}  // namespace

json InspectImage(const std::vector<uint8_t>& image, uint32_t cpu, uint32_t flag) {
  sim::Machine m;
  m.cpu.Signature = cpu;
  m.flash.SetImage(image);
  m.registers.RegisterFile[dir::kRecoveryFlagRegister] = flag;
  m.registers.RegisterFile[dir::kRecoveryFlagRegisterAlt] = flag;
  m.LoadDriverImage();
  support::gDiagnosticsState = {};
  support::gBufferCacheState = support::kBufferCacheStateAtLoad;
  m.Run([] {
    support::ImportHeapBuffers();
    return EFI_SUCCESS;
  });
  // Post codes are shown on the post-code port and the stop returns at once,
  // as with an answering debug host, so the report can list them.
  support::gSettingsState.KelCfgPcdBuf.PostCodeEnable = 1;
  m.cpu.DebugHostAnswer = 1;
  m.flash.ClearLog();
  m.registers.Log.clear();
  m.ports.Log.clear();
  m.debug.Messages.clear();

  json report;
  report["image"] = json{{"size", Hex(image.size())}};
  report["processor"] = Processor(cpu);
  const bool wide = dir::UsesWideEntryTypes() != FALSE;
  report["recovery_flag"] =
      json{{"value", Hex(flag, 8)}, {"side", ((flag >> dir::kRecoveryFlagBit) & 1) != 0 ? "B" : "A"}};

  // The lookups, in the handler's order, in one boot.
  json lookups = json::object();
  std::optional<uint64_t> pointerAddress;
  for (uint32_t type : kInspectedTypes) {
    const size_t flashFrom = m.flash.Log.size();
    const size_t registersFrom = m.registers.Log.size();
    const size_t portsFrom = m.ports.Log.size();
    const size_t debugFrom = m.debug.Messages.size();
    UINT64 address = 0;
    UINT32 size = 0;
    BOOLEAN found = FALSE;
    const sim::RunOutcome outcome = m.Run([&] {
      found = dir::LookupMvqEntry(type, &address, &size);
      return EFI_SUCCESS;
    });
    json lookup{{"found", found != FALSE},
                {"address", found != FALSE ? json(Hex(address)) : json(nullptr)},
                {"size", found != FALSE ? json(Hex(size)) : json(nullptr)}};
    lookup.update(Traffic(m, flashFrom, registersFrom));
    json codes = json::array();
    for (size_t i = portsFrom; i < m.ports.Log.size(); ++i) {
      if (m.ports.Log[i].Write && m.ports.Log[i].Port == support::kPostCodePort && m.ports.Log[i].Width == 4) {
        codes.push_back(Hex(m.ports.Log[i].Value, 8));
      }
    }
    lookup["post_codes"] = codes;
    json messages = json::array();
    for (size_t i = debugFrom; i < m.debug.Messages.size(); ++i) {
      messages.push_back(m.debug.Messages[i].Text);
    }
    lookup["debug_messages"] = messages;
    if (outcome.Stop) {
      lookup["machine_stopped"] = std::string(sim::StopReasonName(outcome.Stop->Reason)) + ": " + outcome.Stop->Detail;
    }
    if (type == dir::kEntryL2Pointer && found != FALSE) {
      pointerAddress = address;
    }
    lookups[TypeKey(type)] = lookup;
  }
  report["lookups"] = lookups;
  report["flash_traffic"] = Traffic(m, 0, 0);

  // What the lookups left in the cache, read back after them. The signature
  // scan below repeats the driver's probes for the report only.
  dir::RomSignatureBlock block{};
  UINT32 blockOffset = 0;
  dir::SignatureScan scan = dir::SignatureScan::None;
  m.Run([&] {
    scan = dir::ScanSignatureBlocks(&block, &blockOffset);
    return EFI_SUCCESS;
  });
  if (scan == dir::SignatureScan::Found) {
    report["signature_block"] = json{{"flash_offset", Hex(blockOffset)},
                                     {"directory", Hex(block.MvqDirectoryPointer)},
                                     {"alternate_directory", Hex(block.AlternateMvqDirectoryPointer)},
                                     {"exclusion", Hex(block.ExclusionByte, 2)}};
  } else {
    report["signature_block"] = nullptr;
  }

  VOID* l1Copy = nullptr;
  if (dir::ValidateCachedDirectory(support::kMvqDirectoryHandle, dir::kDirectoryCopySize, &l1Copy) == FALSE) {
    report["level1"] = nullptr;
    report["ab_recovery_info"] = nullptr;
    report["level2"] = nullptr;
    return report;
  }
  const std::vector<uint8_t> l1(static_cast<uint8_t*>(l1Copy), static_cast<uint8_t*>(l1Copy) + dir::kDirectoryCopySize);
  json level1 = Directory(l1, wide);
  // Where the copy came from: the block's pointer, a combo entry, or the
  // alternate pointer.
  if (scan == dir::SignatureScan::Found) {
    std::vector<std::pair<std::string, uint32_t>> sources = {{"pointer", block.MvqDirectoryPointer}};
    if (auto first = ImageBytes(m, cpu, block.MvqDirectoryPointer, dir::kDirectoryCopySize)) {
      const auto* combo = reinterpret_cast<const dir::ComboDirectory*>(first->data());
      if (combo->Cookie == dir::kComboCookie) {
        const auto* entries = reinterpret_cast<const dir::ComboEntry*>(first->data() + sizeof(dir::ComboDirectory));
        for (uint32_t j = 0; j < std::min(combo->EntryCount, dir::kComboCopyEntries); ++j) {
          sources.push_back({"combo entry " + std::to_string(j) + " (MvqId " + Hex(entries[j].MvqId, 8) + ")",
                             entries[j].DirectoryAddress});
        }
      }
    }
    sources.push_back({"alternate pointer", block.AlternateMvqDirectoryPointer});
    for (const auto& [name, address] : sources) {
      if (ImageBytes(m, cpu, address, dir::kDirectoryCopySize) == l1) {
        level1["source"] = name;
        level1["address"] = Hex(address);
        break;
      }
    }
  }
  const bool abLayout = dir::IsAbPointerDirectory(l1Copy) != FALSE;
  level1["layout"] = abLayout ? "a/b" : "plain";
  report["level1"] = level1;

  // The A/B description and the level-2 directory the lookups chose.
  json level2{{"road", nullptr}, {"address", nullptr}};
  VOID* infoCopy = nullptr;
  const bool infoValid =
      dir::ValidateCachedDirectory(support::kAbInfoHandle, sizeof(dir::AbRecoveryInfo), &infoCopy) != FALSE;
  const bool sideB = ((flag >> dir::kRecoveryFlagBit) & 1) != 0;
  std::optional<uint64_t> candidate;
  if (infoValid) {
    dir::AbRecoveryInfo record{};
    std::memcpy(&record, infoCopy, sizeof record);
    json eligible = json::array();
    json ineligible = json::array();
    for (uint32_t i = 0; i < std::min<uint32_t>(record.EligibleCount, dir::kMaxAbPointerEntries); ++i) {
      eligible.push_back(record.EligibleIndices[i]);
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(record.IneligibleCount, dir::kMaxAbPointerEntries); ++i) {
      ineligible.push_back(record.IneligibleIndices[i]);
    }
    report["ab_recovery_info"] = json{{"pointer_count", static_cast<uint32_t>(record.PointerCount)},
                                      {"eligible", eligible},
                                      {"ineligible", ineligible},
                                      {"slot_a", Slot(record.SlotA)},
                                      {"slot_b", Slot(record.SlotB)}};
  } else {
    report["ab_recovery_info"] = nullptr;
  }
  if (abLayout) {
    level2["road"] = "a/b layout, side " + std::string(sideB ? "B" : "A");
    if (infoValid) {
      dir::AbRecoveryInfo record{};
      std::memcpy(&record, infoCopy, sizeof record);
      const uint32_t address = sideB ? record.SlotB.L2Address : record.SlotA.L2Address;  // packed: by value
      candidate = address;
    }
  } else {
    const dir::DirectoryEntry* entries = dir::EntriesOf(l1Copy);
    std::optional<uint64_t> a;
    std::optional<uint64_t> b;
    for (uint32_t i = 0; i < dir::EntriesInCopy(l1Copy) && (!a || !b); ++i) {
      if (dir::EntryTypeMatches(entries[i].TypeWord, dir::kEntryAPointer) != FALSE) {
        a = entries[i].Location;
      } else if (dir::EntryTypeMatches(entries[i].TypeWord, dir::kEntryBPointer) != FALSE) {
        b = entries[i].Location;
      }
    }
    if (a && b) {
      level2["road"] = "a/b pair in a plain directory, side " + std::string(sideB ? "B" : "A");
      candidate = sideB ? *b : *a;
    } else {
      level2["road"] = "level-2 pointer (type 0x40)";
      candidate = pointerAddress;
    }
  }
  if (candidate) {
    level2["address"] = Hex(*candidate);
  }
  VOID* l2Copy = nullptr;
  const bool l2Valid =
      dir::ValidateCachedDirectory(support::kMvqL2DirectoryHandle, dir::kDirectoryCopySize, &l2Copy) != FALSE;
  if (l2Valid && candidate && *candidate != 0) {
    const std::vector<uint8_t> l2(static_cast<uint8_t*>(l2Copy),
                                  static_cast<uint8_t*>(l2Copy) + dir::kDirectoryCopySize);
    level2.update(Directory(l2, wide));
    // Which lookups the level-2 copy answered (the 0x40 lookup takes the
    // pointer road only when the other roads gave a candidate).
    for (uint32_t type : kInspectedTypes) {
      json& lookup = report["lookups"][TypeKey(type)];
      const bool searched = type != dir::kEntryL2Pointer || level2["road"] != "level-2 pointer (type 0x40)";
      bool fromLevel2 = false;
      if (searched && lookup["found"] == true) {
        const dir::DirectoryEntry* entries = dir::EntriesOf(l2.data());
        for (uint32_t i = 0; i < dir::EntriesInCopy(l2.data()); ++i) {
          if (dir::EntryMatchesSearchRule(entries[i].TypeWord, type, wide ? TRUE : FALSE) != FALSE) {
            fromLevel2 = Hex(dir::TranslateEntryLocation(entries[i].Location, *candidate,
                                                         static_cast<uint32_t>(*candidate))) == lookup["address"];
            break;
          }
        }
      }
      if (lookup["found"] == true) {
        lookup["from"] = fromLevel2 ? "level-2" : "level-1";
      }
    }
  } else {
    for (uint32_t type : kInspectedTypes) {
      json& lookup = report["lookups"][TypeKey(type)];
      if (lookup["found"] == true) {
        lookup["from"] = "level-1";
      }
    }
  }
  level2["valid"] = l2Valid && candidate && *candidate != 0;
  report["level2"] = level2;
  return report;
}

std::string FormatInspection(const json& report) {
  std::ostringstream out;
  auto text = [](const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); };
  const json& p = report["processor"];
  out << "Processor " << text(p["signature"]) << ": family " << text(p["family"]) << ", model " << text(p["model"])
      << ", stepping " << text(p["stepping"]) << "; flash offsets through the " << text(p["offset_window"])
      << " window\n";
  if (p["identity_row"].is_null()) {
    out << "  identity row: none (the directories cannot be found on this processor)\n";
  } else {
    const json& row = p["identity_row"];
    out << "  identity row " << text(row["row"]) << ": MvqId " << text(row["mvq_id"]) << ", A/B layout "
        << (row["ab_layout"] == -1 ? std::string("none") : text(row["ab_layout"])) << ", "
        << text(row["entry_type_width"]) << "-bit entry types\n";
  }
  if (p["soc_info_row"].is_null()) {
    out << "  SocInfo row: none (RecoveryFlag selector taken as 1)\n";
  } else {
    out << "  SocInfo row " << text(p["soc_info_row"]["row"]) << ": RecoveryFlag selector "
        << text(p["soc_info_row"]["recovery_flag_selector"]) << "\n";
  }
  out << "RecoveryFlag " << text(report["recovery_flag"]["value"]) << ": side " << text(report["recovery_flag"]["side"])
      << "\n";

  const json& block = report["signature_block"];
  if (block.is_null()) {
    out << "Signature block: none usable\n";
  } else {
    out << "Signature block at flash offset " << text(block["flash_offset"]) << ": directory "
        << text(block["directory"]) << ", alternate " << text(block["alternate_directory"]) << ", exclusion byte "
        << text(block["exclusion"]) << "\n";
  }

  auto entries = [&](const json& list) {
    for (const json& e : list) {
      out << "    [" << text(e["index"]) << "] type " << text(e["type"]);
      if (e.contains("subtype") && (e["subtype"] != "0x00" || e["variant"] != 0)) {
        out << " subtype " << text(e["subtype"]) << " variant " << text(e["variant"]);
      }
      if (e.contains("name")) {
        out << " (" << text(e["name"]) << ")";
      }
      out << ", size " << text(e["size"]) << ", location " << text(e["location"]) << " mode " << text(e["mode"])
          << "\n";
    }
  };
  const json& l1 = report["level1"];
  if (l1.is_null()) {
    out << "Level-1 directory: none valid\n";
  } else {
    out << "Level-1 directory \"" << text(l1["cookie"]) << "\"";
    if (l1.contains("address")) {
      out << " at " << text(l1["address"]) << " (" << text(l1["source"]) << ")";
    }
    out << ", " << text(l1["entry_count"]) << " entries, " << text(l1["layout"]) << " layout\n";
    entries(l1["entries"]);
  }
  const json& ab = report["ab_recovery_info"];
  if (!ab.is_null()) {
    out << "A/B description: " << text(ab["pointer_count"]) << " pointers, eligible " << ab["eligible"].dump()
        << ", ineligible " << ab["ineligible"].dump() << "\n";
    for (const char* slot : {"slot_a", "slot_b"}) {
      const json& s = ab[slot];
      out << "  " << (slot[5] == 'a' ? "slot A" : "slot B") << ": entry " << text(s["entry_index"]) << ", priority "
          << text(s["priority"]) << ", level-2 at " << text(s["l2_address"]) << "\n";
    }
  }
  const json& l2 = report["level2"];
  if (!l2.is_null()) {
    out << "Level-2 directory: " << text(l2["road"]) << ", address " << text(l2["address"]);
    if (l2["valid"] == true) {
      out << ", \"" << text(l2["cookie"]) << "\", " << text(l2["entry_count"]) << " entries\n";
      entries(l2["entries"]);
    } else {
      out << ", none valid\n";
    }
  }
  out << "Lookups (one boot, in this order):\n";
  for (uint32_t type : kInspectedTypes) {
    const std::string key = TypeKey(type);
    const json& l = report["lookups"][key];
    out << "  " << key << ": ";
    if (l["found"] == true) {
      out << "address " << text(l["address"]) << ", size " << text(l["size"]) << " (" << text(l["from"]) << ")";
    } else {
      out << "not found";
    }
    out << "; flash " << text(l["flash_bytes"]) << " bytes in " << text(l["flash_loads"]) << " loads and "
        << text(l["flash_mapped_copies"]) << " mapped copies, " << text(l["register_accesses"]) << " register accesses";
    if (!l["post_codes"].empty()) {
      out << ", post codes " << l["post_codes"].dump();
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace ftpm::tools
