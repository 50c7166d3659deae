#include "flow/node_tables.h"

#include <fmt/format.h>

#include "base/errors.h"

namespace vqflow {

namespace {

const Value& cells_of(const Value& edges) {
  if (!edges.is_array()) throw FlowError("flow document: \"cells\" is not a list");
  return edges;
}

// cell[first][second...]: throws FlowError naming the cell and the missing member.
const Value& member(const Value& cell, std::size_t index,
                    std::initializer_list<const char*> names) {
  const Value* at = &cell;
  std::string path;
  for (const char* name : names) {
    path += path.empty() ? "" : ".";
    path += name;
    if (!at->is_object()) {
      throw FlowError(
          fmt::format("flow document: cell {}: cannot read \"{}\": not an object", index, path));
    }
    auto it = at->find(name);
    if (it == at->end()) {
      throw FlowError(fmt::format("flow document: cell {}: \"{}\" is missing", index, path));
    }
    at = &*it;
  }
  return *at;
}

bool has_shape(const Value& cell, std::size_t index, const char* shape) {
  const Value& value = member(cell, index, {"shape"});
  return value.is_string() && value.get_ref<const std::string&>() == shape;
}

}  // namespace

Value make_node_link(const Value& edges) {
  Value links = Value::array();
  std::size_t index = 0;
  for (const Value& cell : cells_of(edges)) {
    if (has_shape(cell, index, "vqEdge")) {
      links.push_back(Value::array(
          {member(cell, index, {"source", "cell"}), member(cell, index, {"target", "cell"})}));
    }
    ++index;
  }
  return links;
}

Value make_node_list(const Value& edges, const std::optional<std::string>& end_app) {
  Value degrees = Value::object();
  std::size_t index = 0;
  for (const Value& cell : cells_of(edges)) {
    if (has_shape(cell, index, "vqEdge")) {
      const std::string source = text_form(member(cell, index, {"source", "cell"}));
      if (!end_app || source != *end_app) {
        auto it = degrees.find(source);
        if (it == degrees.end()) {
          degrees[source] = 1;
        } else {
          *it = it->get<long long>() + 1;
        }
      }
    }
    ++index;
  }
  return degrees;
}

Value make_node_name(const Value& edges) {
  Value names = Value::object();
  std::size_t index = 0;
  for (const Value& cell : cells_of(edges)) {
    if (has_shape(cell, index, "html")) {
      const Value& id = member(cell, index, {"id"});
      names[text_form(id)] = member(cell, index, {"data", "name"});
    }
    ++index;
  }
  return names;
}

}  // namespace vqflow
