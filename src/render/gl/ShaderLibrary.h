#pragma once

#include <map>
#include <optional>
#include <string>

namespace orsa::gl {

// The shader library resource: GLSL ES source cut into named functions by `#pragma orsa`
// lines (the resource file itself documents the format). The pipeline asks it for a
// function by name and gets a whole stage's source.
class ShaderLibrary {
 public:
  enum class Stage { Vertex, Fragment };
  struct Function {
    Stage stage;
    std::string source;  // ready to compile, "#version 300 es" first
  };

  // Nothing, with the reason in `error`, when the text is not a well-formed library.
  static std::optional<ShaderLibrary> parse(const std::string& text, std::string& error);

  const Function* function(const std::string& name) const;

 private:
  std::map<std::string, Function> functions_;
};

}  // namespace orsa::gl
