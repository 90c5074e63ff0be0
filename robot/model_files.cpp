// The engine opens the files a model names without looking at them first:
// a FIFO among them would hold the start for ever. The model is read here
// with the XML parser the engine uses, so that character references,
// quoting and comments mean what they mean to the engine, and each name is
// resolved by the engine's rules, found by trying them on 2.2.2:
// - an include is the model's folder joined to its file, for nested ones
//   too, even when the name is absolute; the included root's children take
//   the include's place;
// - the last <compiler> in that order sets meshdir, texturedir and
//   strippath for every file, before or after it;
// - meshes, skins and height fields use meshdir, textures texturedir; a
//   '/' is put after a directory that ends in neither '/' nor '\';
// - strippath keeps the name after its last '/' or '\';
// - a name or directory starting with '/' or '\', or with "X:/" or "X:\",
//   is absolute and used as it is;
// - an OBJ mesh's "mtllib" names, split at spaces, are read from the OBJ's
//   folder, absolute or not.
#include "model_files.h"

#include <sys/stat.h>
#include <tinyxml2.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quoted.h"

namespace robot {

namespace {

// More included files than any model has, fewer than would take long.
constexpr int kMaxIncludes = 256;

// The attributes naming files, by element, and the directory each uses.
struct FileAttribute {
  const char *element;
  const char *attribute;
  bool texture;  // resolved in texturedir, else in meshdir
};
constexpr FileAttribute kFileAttributes[] = {
    // element, attribute, texture
    {"mesh", "file", false},       {"skin", "file", false},        {"hfield", "file", false},
    {"texture", "file", true},     {"texture", "fileright", true}, {"texture", "fileleft", true},
    {"texture", "fileup", true},   {"texture", "filedown", true},  {"texture", "filefront", true},
    {"texture", "fileback", true},
};

// The engine reads a mesh's or skin's type from its name's last three
// characters, and ends the process on a shorter name.
constexpr std::size_t kShortestTypedName = 3;

bool is_separator(char c) {
  return c == '/' || c == '\\';
}

// The engine tells an OBJ mesh by its name's end, in either case.
bool is_obj(std::string_view name) {
  if (name.size() < 4) return false;
  std::string end(name.substr(name.size() - 4));
  for (char &c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return end == ".obj";
}

bool is_absolute(std::string_view name) {
  return (!name.empty() && is_separator(name[0])) ||
         (name.size() >= 3 && name[1] == ':' && is_separator(name[2]));
}

// The folder part of `path`, with its separator; "" for a bare name.
std::string folder_of(std::string_view path) {
  std::size_t at = path.find_last_of("/\\");
  return std::string(at == std::string_view::npos ? "" : path.substr(0, at + 1));
}

struct Named {
  std::string name;  // as the model spells it, decoded
  bool texture;
  bool typed;  // a mesh or skin, whose type comes from its name
};

class Walk {
 public:
  Walk(std::string folder, char *error, std::size_t size)
      : folder_(std::move(folder)), error_(error), size_(size) {}

  // Reads the XML file at `path` (looked at already) into `document`.
  bool parse(const std::string &path, tinyxml2::XMLDocument &document) {
    if (document.LoadFile(path.c_str()) == tinyxml2::XML_SUCCESS) return true;
    const char *why = document.ErrorStr();
    std::snprintf(error_, size_, "\"%s\" is not well-formed XML (%s)", Quoted(path).text,
                  why != nullptr ? why : "unreadable");
    for (char *c = error_; *c != '\0'; ++c) *c = *c == '\n' ? ' ' : *c;
    return false;
  }

  // Walks the children of `parent` in the engine's order; `top` when they
  // are the model's sections.
  bool children(const tinyxml2::XMLElement &parent, bool top) {
    for (const tinyxml2::XMLElement *child = parent.FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
      std::string_view name = child->Name();
      if (name == "include") {
        if (!include(*child, top)) return false;
        continue;
      }
      if (top && name == "compiler") {
        if (const char *value = child->Attribute("meshdir")) meshdir_ = value;
        if (const char *value = child->Attribute("texturedir")) texturedir_ = value;
        if (const char *value = child->Attribute("strippath"))
          strip_ = std::string_view(value) == "true";
      }
      for (const FileAttribute &file : kFileAttributes) {
        const char *value = name == file.element ? child->Attribute(file.attribute) : nullptr;
        bool typed = name == "mesh" || name == "skin";
        if (value != nullptr && *value != '\0') named_.push_back({value, file.texture, typed});
      }
      if (!children(*child, false)) return false;
    }
    return true;
  }

  // Looks at every file named, now that the directories are known.
  bool files() {
    for (const Named &named : named_) {
      std::string name = named.name;
      if (strip_) name = name.substr(name.find_last_of("/\\") + 1);
      if (named.typed && name.size() < kShortestTypedName) {
        std::snprintf(error_, size_, "it names \"%s\", too short a name to show the file's type",
                      Quoted(named.name).text);
        return false;
      }
      std::string path = resolve(name, named.texture ? texturedir_ : meshdir_);
      if (!usable(path)) return false;
      if (is_obj(name) && is_regular(path)) {
        if (!material_libraries(path)) return false;
      }
    }
    return true;
  }

  // False, with why, for an existing file that is not a regular one of at
  // most kMaxModelFileBytes.
  bool usable(const std::string &path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) return true;
    if (S_ISREG(file.st_mode) && file.st_size <= kMaxModelFileBytes) return true;
    std::snprintf(error_, size_, "it names \"%s\", which is not a regular file of at most 64 MiB",
                  Quoted(path).text);
    return false;
  }

 private:
  bool include(const tinyxml2::XMLElement &element, bool top) {
    const char *file = element.Attribute("file");
    if (file == nullptr) return true;  // the engine refuses it by itself
    std::string path = folder_ + file;
    // The engine refuses a file included twice, before reading it again.
    if (!included_.insert(path).second) return true;
    if (!usable(path)) return false;
    if (static_cast<int>(included_.size()) > kMaxIncludes) {
      std::snprintf(error_, size_, "it includes more than %d files", kMaxIncludes);
      return false;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return true;  // the engine says it is missing
    tinyxml2::XMLDocument document;
    if (!parse(path, document)) return false;
    const tinyxml2::XMLElement *root = document.RootElement();
    return root == nullptr || children(*root, top);
  }

  std::string resolve(const std::string &name, std::string dir) const {
    if (is_absolute(name)) return name;
    if (!dir.empty() && !is_separator(dir.back())) dir += '/';
    return is_absolute(dir) ? dir + name : folder_ + dir + name;
  }

  static bool is_regular(const std::string &path) {
    struct stat file {};
    return stat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode);
  }

  // The OBJ reader opens the material libraries its "mtllib" lines name.
  bool material_libraries(const std::string &obj) {
    std::ifstream in(obj, std::ios::binary);
    std::string folder = folder_of(obj);
    for (std::string line; std::getline(in, line);) {
      std::size_t at = line.find_first_not_of(" \t");
      if (at == std::string::npos || line.compare(at, 6, "mtllib") != 0) continue;
      at += 6;
      if (at >= line.size() || (line[at] != ' ' && line[at] != '\t')) continue;
      std::string rest = line.substr(at);
      // Any space, tab or line end parts the names, which is stricter than
      // the reader, never looser.
      for (std::size_t from = 0; from < rest.size();) {
        std::size_t end = rest.find_first_of(" \t\r", from);
        if (end == std::string::npos) end = rest.size();
        if (end > from && !usable(folder + rest.substr(from, end - from))) return false;
        from = end + 1;
      }
    }
    return true;
  }

  std::string folder_;
  char *error_;
  std::size_t size_;
  std::string meshdir_, texturedir_;
  bool strip_ = false;
  std::set<std::string> included_;
  std::vector<Named> named_;
};

}  // namespace

bool model_files_usable(const char *path, char *error, std::size_t size) {
  Walk walk(folder_of(path), error, size);
  tinyxml2::XMLDocument document;
  if (!walk.parse(path, document)) return false;
  const tinyxml2::XMLElement *root = document.RootElement();
  std::string_view name = root != nullptr ? root->Name() : "";
  // The engine would read a URDF too, which has no servos to drive.
  if (name != "mujoco") {
    std::snprintf(error, size, "its root element is <%s>, not <mujoco>", Quoted(name).text);
    return false;
  }
  return walk.children(*root, true) && walk.files();
}

}  // namespace robot
