#include "libvirt_channel.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

#include "protocol.h"

namespace {

std::string attribute(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) return {};
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

bool named(xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

xmlNode* child(xmlNode* parent, const char* name) {
    for (xmlNode* node = parent->children; node != nullptr; node = node->next)
        if (named(node, name)) return node;
    return nullptr;
}

bool is_agent_channel(xmlNode* channel) {
    xmlNode* target = child(channel, "target");
    return target != nullptr && attribute(target, "type") == "virtio" &&
           attribute(target, "name") == kAgentChannelName;
}

domain_channel read_channel(xmlNode* channel) {
    domain_channel found;
    std::string type = attribute(channel, "type");
    xmlNode* source = child(channel, "source");
    if (type == "unix" && source != nullptr && !attribute(source, "path").empty()) {
        found.kind = domain_channel::kind_type::found;
        found.where.kind = endpoint::kind_type::unix_socket;
        found.where.path = attribute(source, "path");
    } else if (type == "tcp" && source != nullptr && !attribute(source, "host").empty() &&
               !attribute(source, "service").empty()) {
        found.kind = domain_channel::kind_type::found;
        found.where.kind = endpoint::kind_type::tcp;
        found.where.host = attribute(source, "host");
        found.where.port = attribute(source, "service");
    } else {
        found.kind = domain_channel::kind_type::not_a_socket;
        found.problem = "the channel " + std::string(kAgentChannelName) + " is of type '" +
                        printable(type, 40) + "' without a socket; give it <channel type='unix'> with "
                        "<source mode='bind'/>";
    }
    return found;
}

}  // namespace

std::optional<domain_channel> find_agent_channel(std::string_view domain_xml) {
    std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> document(
        xmlReadMemory(domain_xml.data(), static_cast<int>(domain_xml.size()), "domain.xml",
                      nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        &xmlFreeDoc);
    if (!document) return std::nullopt;
    xmlNode* root = xmlDocGetRootElement(document.get());
    if (root == nullptr || !named(root, "domain")) return std::nullopt;
    xmlNode* devices = child(root, "devices");
    if (devices == nullptr) return domain_channel{};
    for (xmlNode* node = devices->children; node != nullptr; node = node->next)
        if (named(node, "channel") && is_agent_channel(node)) return read_channel(node);
    return domain_channel{};
}
