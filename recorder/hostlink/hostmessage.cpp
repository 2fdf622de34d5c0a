#include "hostmessage.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "basekit/utilapi.h"

namespace {

std::string attribute(const TiXmlElement* element, const char* name) {
    const char* value = element ? element->Attribute(name) : nullptr;
    return value ? value : "";
}

// "val" and "disable" as atoi reads them; absent is 0.
int number(const TiXmlElement* element, const char* name) {
    const char* value = element ? element->Attribute(name) : nullptr;
    return value ? std::atoi(value) : 0;
}

HostDevice device(const TiXmlElement* cmd, const char* name) {
    const TiXmlElement* element = cmd->FirstChildElement(name);
    return HostDevice{attribute(element, "name"), number(element, "disable")};
}

// Text the parser may safely be given: at most kMaxMarkup elements (the
// parser nests one call per level), well-formed UTF-8 without the control
// characters XML forbids, NUL included (the parser steps over multi-byte
// sequences by their lead byte and must not be led past the end).
bool parsable(std::string_view text) {
    if (std::count(text.begin(), text.end(), '<') > CHostMessage::kMaxMarkup) return false;
    const std::string copy(text);
    return CUtilAPI::UnLegalXMLUTF82Space(copy) == copy;
}

// A parsed message: its root "Tolvane" and the root's first "cmd".
struct Message {
    std::unique_ptr<TiXmlDocument> document;
    const TiXmlElement* root = nullptr;
    const TiXmlElement* cmd = nullptr;
};

std::optional<Message> parseMessage(std::string_view text) {
    if (!parsable(text)) return std::nullopt;
    Message message;
    message.document = std::make_unique<TiXmlDocument>();
    message.document->Parse(std::string(text).c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (message.document->Error()) return std::nullopt;
    message.root = message.document->RootElement();
    if (!message.root || message.root->ValueStr() != CHostMessage::kRoot) return std::nullopt;
    message.cmd = message.root->FirstChildElement("cmd");
    if (!message.cmd) return std::nullopt;
    return message;
}

}  // namespace

std::optional<HostCommand> CHostMessage::ParseCommand(std::string_view text) {
    std::optional<Message> message = parseMessage(text);
    if (!message) return std::nullopt;
    const TiXmlElement* root = message->root;
    const TiXmlElement* cmd = message->cmd;
    HostCommand command;
    command.id = attribute(root, "id");
    command.opt = attribute(cmd, "opt");
    command.type = attribute(cmd, "type");
    command.name = attribute(cmd, "name");
    command.val = number(cmd, "val");
    command.mic = device(cmd, "mic");
    command.speaker = device(cmd, "speeker");
    return command;
}

std::string CHostMessage::PrintAnswer(const std::string& version, const Guid& id, std::optional<int> val) {
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("1.0", "utf-8", ""));
    auto* root = new TiXmlElement(kRoot);
    root->SetAttribute("version", version);
    root->SetAttribute("id", FormatGuid(id));
    auto* cmd = new TiXmlElement("cmd");
    cmd->SetAttribute("opt", "respond");
    if (val) cmd->SetAttribute("val", *val);
    cmd->SetAttribute("ret", 0);
    root->LinkEndChild(cmd);
    document.LinkEndChild(root);
    TiXmlPrinter printer;
    document.Accept(&printer);
    return printer.Str();
}

std::optional<HostAnswer> CHostMessage::ParseAnswer(std::string_view text) {
    std::optional<Message> message = parseMessage(text);
    if (!message || attribute(message->cmd, "opt") != "respond") return std::nullopt;
    const TiXmlElement* root = message->root;
    const TiXmlElement* cmd = message->cmd;
    HostAnswer answer;
    answer.version = attribute(root, "version");
    answer.id = attribute(root, "id");
    if (cmd->Attribute("val")) answer.val = number(cmd, "val");
    answer.ret = number(cmd, "ret");
    return answer;
}

std::string CHostMessage::PrintCommand(const HostCommand& command) {
    TiXmlDocument document;
    auto* root = new TiXmlElement(kRoot);
    root->SetAttribute("id", command.id);
    auto* cmd = new TiXmlElement("cmd");
    cmd->SetAttribute("opt", command.opt);
    cmd->SetAttribute("type", command.type);
    if (command.type == "source") {
        for (const auto& [tag, dev] : {std::pair{"mic", &command.mic}, std::pair{"speeker", &command.speaker}}) {
            auto* element = new TiXmlElement(tag);
            element->SetAttribute("id", "");
            element->SetAttribute("name", dev->name);
            element->SetAttribute("disable", dev->disable);
            cmd->LinkEndChild(element);
        }
    } else {
        cmd->SetAttribute("name", command.name);
        cmd->SetAttribute("val", command.val);
    }
    root->LinkEndChild(cmd);
    document.LinkEndChild(root);
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    document.Accept(&printer);
    return printer.Str();
}

std::optional<CHostMessage::Guid> CHostMessage::ParseGuid(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Guid id {};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int value = 0;
        for (int k = 0; k < 2; ++k, ++i) {
            const char c = text[i];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                          : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + digit;
        }
        id[byte++] = static_cast<std::uint8_t>(value);
    }
    return id;
}

std::string CHostMessage::FormatGuid(const Guid& id) {
    char text[37];
    std::snprintf(text, sizeof(text),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", id[0], id[1], id[2], id[3],
                  id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
    return text;
}

CHostMessage::Guid CHostMessage::NewGuid() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    Guid id;
    for (std::size_t i = 0; i < id.size(); i += 8) {
        const std::uint64_t value = generator();
        for (int k = 0; k < 8; ++k) id[i + k] = static_cast<std::uint8_t>(value >> (8 * k));
    }
    id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x40);
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);
    return id;
}
