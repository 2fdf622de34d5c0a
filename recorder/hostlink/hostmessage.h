// CHostMessage: the host link's XML messages.
//
// Command (host to bar):
//   <Tolvane id="GUID"><cmd opt="set|qurey" type="record|source" name="..." val="N">
//       <mic id="..." name="..." disable="N"/><speeker id="..." name="..." disable="N"/>
//   </cmd></Tolvane>
// Answer (bar to host), printed by TinyXML's printer (four-blank indentation):
//   <?xml version="1.0" encoding="utf-8" ?>
//   <Tolvane version="1.0.0.0" id="GUID">
//       <cmd opt="respond" val="N" ret="0" />
//   </Tolvane>
// ("qurey" and "speeker" are the protocol's spellings.) Identifiers are the
// 36-character GUID text form; answers write it in lower case.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct HostDevice {
    std::string name;
    int disable = 0;
};

struct HostCommand {
    std::string id;  // as given, empty when absent
    std::string opt;
    std::string type;
    std::string name;
    int val = 0;
    HostDevice mic;
    HostDevice speaker;
};

struct HostAnswer {
    std::string version;
    std::string id;
    std::optional<int> val;
    int ret = 0;
};

class CHostMessage {
public:
    using Guid = std::array<std::uint8_t, 16>;
    static constexpr const char* kRoot = "Tolvane";
    // Documents with more elements than this are not parsed: a command has
    // four, and the parser nests one call per level.
    static constexpr int kMaxMarkup = 64;

    // The command in a data packet; nothing for text that is not one
    // (malformed XML, invalid UTF-8, another root, no "cmd" element).
    static std::optional<HostCommand> ParseCommand(std::string_view text);
    // The answer document: "val" only when given.
    static std::string PrintAnswer(const std::string& version, const Guid& id, std::optional<int> val);
    static std::optional<HostAnswer> ParseAnswer(std::string_view text);
    // A command document for hosts.
    static std::string PrintCommand(const HostCommand& command);

    // GUID text "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (hexadecimal digits of
    // either case); nothing when the text is not one.
    static std::optional<Guid> ParseGuid(std::string_view text);
    static std::string FormatGuid(const Guid& id);
    // A random identifier (version 4).
    static Guid NewGuid();
};
