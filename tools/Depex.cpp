// Dependency expressions: the infix text an integrator writes, compiled to
// the postfix opcodes the DXE dispatcher evaluates.
#include "tools/Ffs.h"

#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "platform/Guids.h"
#include "tools/FfsBytes.h"

namespace ftpm::tools::ffs {
namespace {

// Nesting deeper than this is refused rather than recursed into.
constexpr int kMaxDepexNesting = 64;

class DepexCompiler {
 public:
  explicit DepexCompiler(std::string_view text) { Tokenize(text); }

  Bytes Compile() {
    if (tokens_.empty()) {
      throw PackageError("empty dependency expression");
    }
    if (tokens_.back() == "END") {
      tokens_.pop_back();
      if (tokens_.empty()) {
        throw PackageError("empty dependency expression");
      }
    }
    if (Peek() == "BEFORE" || Peek() == "AFTER") {
      const uint8_t opcode = Next() == "BEFORE" ? EFI_DEP_BEFORE : EFI_DEP_AFTER;
      const EFI_GUID guid = Protocol(Next());
      if (!AtEnd()) {
        throw PackageError("BEFORE and AFTER take one GUID and stand alone in the expression");
      }
      code_.push_back(opcode);
      AppendStruct(code_, guid);
    } else {
      if (Peek() == "SOR") {
        Next();
        code_.push_back(EFI_DEP_SOR);
      }
      Or(0);
      if (!AtEnd()) {
        throw PackageError("unexpected '" + std::string(Peek()) + "' in dependency expression");
      }
    }
    code_.push_back(EFI_DEP_END);
    return std::move(code_);
  }

 private:
  void Tokenize(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
      const char c = text[i];
      if (std::isspace(static_cast<unsigned char>(c)) != 0) {
        ++i;
      } else if (c == '(' || c == ')') {
        tokens_.emplace_back(text.substr(i, 1));
        ++i;
      } else {
        size_t end = i;
        while (end < text.size() && std::isspace(static_cast<unsigned char>(text[end])) == 0 && text[end] != '(' &&
               text[end] != ')') {
          ++end;
        }
        tokens_.emplace_back(text.substr(i, end - i));
        i = end;
      }
    }
  }

  bool AtEnd() const { return position_ >= tokens_.size(); }
  std::string_view Peek() const { return AtEnd() ? std::string_view{} : std::string_view{tokens_[position_]}; }
  std::string_view Next() {
    if (AtEnd()) {
      throw PackageError("dependency expression ends too early");
    }
    return tokens_[position_++];
  }

  static EFI_GUID Protocol(std::string_view token) {
    EFI_GUID guid{};
    if (ParseGuid(token, guid)) {
      return guid;
    }
    for (const NamedProtocol& known : KnownProtocols()) {
      if (known.name == token) {
        return known.guid;
      }
    }
    throw PackageError("unknown protocol '" + std::string(token) + "' in dependency expression: give its GUID");
  }

  void Or(int depth) {
    And(depth);
    while (Peek() == "OR") {
      Next();
      And(depth);
      code_.push_back(EFI_DEP_OR);
    }
  }

  void And(int depth) {
    Not(depth);
    while (Peek() == "AND") {
      Next();
      Not(depth);
      code_.push_back(EFI_DEP_AND);
    }
  }

  void Not(int depth) {
    if (depth > kMaxDepexNesting) {
      throw PackageError("dependency expression nested too deeply");
    }
    if (Peek() == "NOT") {
      Next();
      Not(depth + 1);
      code_.push_back(EFI_DEP_NOT);
      return;
    }
    Term(depth);
  }

  void Term(int depth) {
    const std::string_view token = Next();
    if (token == "(") {
      Or(depth + 1);
      if (Next() != ")") {
        throw PackageError("missing ')' in dependency expression");
      }
    } else if (token == "TRUE") {
      code_.push_back(EFI_DEP_TRUE);
    } else if (token == "FALSE") {
      code_.push_back(EFI_DEP_FALSE);
    } else if (token == ")" || token == "AND" || token == "OR" || token == "BEFORE" || token == "AFTER" ||
               token == "SOR" || token == "END") {
      throw PackageError("unexpected '" + std::string(token) + "' in dependency expression");
    } else {
      code_.push_back(EFI_DEP_PUSH);
      AppendStruct(code_, Protocol(token));
    }
  }

  std::vector<std::string> tokens_;
  size_t position_ = 0;
  Bytes code_;
};

constexpr std::array kKnownProtocols{
    NamedProtocol{"PCD_PROTOCOL", gPcdProtocolGuid},
    NamedProtocol{"gPcdProtocolGuid", gPcdProtocolGuid},
    NamedProtocol{"EFI_PCD_PROTOCOL", gEfiPcdProtocolGuid},
    NamedProtocol{"gEfiPcdProtocolGuid", gEfiPcdProtocolGuid},
    NamedProtocol{"EFI_SMM_COMMUNICATION_PROTOCOL", gEfiSmmCommunicationProtocolGuid},
    NamedProtocol{"gEfiSmmCommunicationProtocolGuid", gEfiSmmCommunicationProtocolGuid},
    NamedProtocol{"EFI_SMBUS_HC_PROTOCOL", gSmbusHcProtocolGuid},
    NamedProtocol{"gEfiSmbusHcProtocolGuid", gSmbusHcProtocolGuid},
    NamedProtocol{"ERASE_SERVICE_READY_PROTOCOL", gEraseServiceReadyProtocolGuid},
    NamedProtocol{"gEraseServiceReadyProtocolGuid", gEraseServiceReadyProtocolGuid},
    NamedProtocol{"EFI_VARIABLE_ARCH_PROTOCOL", gEfiVariableArchProtocolGuid},
    NamedProtocol{"gEfiVariableArchProtocolGuid", gEfiVariableArchProtocolGuid},
    NamedProtocol{"EFI_VARIABLE_WRITE_ARCH_PROTOCOL", gEfiVariableWriteArchProtocolGuid},
    NamedProtocol{"gEfiVariableWriteArchProtocolGuid", gEfiVariableWriteArchProtocolGuid},
};

}  // namespace

std::span<const NamedProtocol> KnownProtocols() { return kKnownProtocols; }

Bytes CompileDepex(std::string_view expression) { return DepexCompiler(expression).Compile(); }

}  // namespace ftpm::tools::ffs
