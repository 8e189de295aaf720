#include "render/gl/ShaderLibrary.h"

#include <sstream>
#include <vector>

namespace orsa::gl {

std::optional<ShaderLibrary> ShaderLibrary::parse(const std::string& text, std::string& error) {
  struct Section {
    std::string kind, name, stage, body;
  };
  std::vector<Section> sections;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::istringstream words(line);
    std::string pragma, orsa;
    words >> pragma >> orsa;
    if (pragma != "#pragma" || orsa != "orsa") {
      if (!sections.empty()) sections.back().body += line + "\n";
      continue;
    }
    Section s;
    words >> s.kind >> s.name >> s.stage;
    if (s.kind == "use") {
      if (sections.empty() || sections.back().kind != "function") {
        error = "line " + std::to_string(number) + ": 'use' outside a function";
        return std::nullopt;
      }
      sections.back().body += "#pragma orsa use " + s.name + "\n";
      continue;
    }
    const bool function = s.kind == "function" && (s.stage == "vertex" || s.stage == "fragment");
    if ((!function && s.kind != "common") || s.name.empty()) {
      error = "line " + std::to_string(number) + ": unknown section '" + line + "'";
      return std::nullopt;
    }
    // Later lines keep their numbers in compiler messages.
    s.body = "#line " + std::to_string(number + 1) + "\n";
    sections.push_back(std::move(s));
  }

  std::map<std::string, std::string> commons;
  for (const auto& s : sections) {
    if (s.kind == "common") commons[s.name] = s.body;
  }
  ShaderLibrary library;
  for (const auto& s : sections) {
    if (s.kind != "function") continue;
    std::string source = "#version 300 es\n";
    std::istringstream body(s.body);
    while (std::getline(body, line)) {
      const std::string use = "#pragma orsa use ";
      if (line.rfind(use, 0) == 0) {
        auto it = commons.find(line.substr(use.size()));
        if (it == commons.end()) {
          error = "function " + s.name + " uses unknown '" + line.substr(use.size()) + "'";
          return std::nullopt;
        }
        source += it->second;
      } else {
        source += line + "\n";
      }
    }
    library.functions_[s.name] = {s.stage == "vertex" ? Stage::Vertex : Stage::Fragment, source};
  }
  return library;
}

const ShaderLibrary::Function* ShaderLibrary::function(const std::string& name) const {
  auto it = functions_.find(name);
  return it == functions_.end() ? nullptr : &it->second;
}

}  // namespace orsa::gl
