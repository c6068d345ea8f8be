#include "cluster/node_registry.h"

#include <algorithm>
#include <cstdlib>

#include "cluster/shared_entry.h"

namespace tvl {

bool read_nodes(RedisLink& link, std::vector<NodeStatus>& nodes) {
  nodes.clear();
  RedisReply names;
  if (!link.command({"SMEMBERS", kNodesKey}, names)) return false;
  for (const RedisReply& name : names.items) {
    RedisReply beat;
    if (!link.command({"GET", node_key(name.text)}, beat)) {
      nodes.clear();
      return false;
    }
    if (beat.kind != RedisReply::Kind::String) {
      RedisReply gone;
      (void)link.command({"SREM", kNodesKey, name.text}, gone);  // the next status tries again
      continue;
    }
    NodeStatus n;
    n.name = name.text;
    char* end = nullptr;
    n.visitors = static_cast<int>(std::strtol(beat.text.c_str(), &end, 10));
    n.seen = std::strtoll(end, nullptr, 10);
    nodes.push_back(n);
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const NodeStatus& a, const NodeStatus& b) { return a.name < b.name; });
  return true;
}

bool cluster_status_text(RedisLink& link, long long now, std::string& text) {
  std::vector<NodeStatus> nodes;
  const std::string where = "Redis " + link.address().text();
  if (!read_nodes(link, nodes)) {
    text = where + ": away (" + link.why() + ")\n";
    return false;
  }
  text = where + ": reachable\n";
  if (nodes.empty()) text += "no node has a heartbeat\n";
  for (const NodeStatus& n : nodes) {
    text += "node " + n.name + ": " + std::to_string(n.visitors) +
            (n.visitors == 1 ? " visitor" : " visitors") + ", heartbeat " +
            std::to_string(std::max(0LL, now - n.seen)) + " s ago\n";
  }
  return true;
}

}  // namespace tvl
