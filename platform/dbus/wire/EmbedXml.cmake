# Writes OUT: a C++ source that holds the interface description files FILES
# ("|"-separated) as text, so that the program answers Introspect without
# reading docs/ at run time.
string(REPLACE "|" ";" FILES "${FILES}")
set(body "// Generated from docs/dbus/*.xml by EmbedXml.cmake; do not edit.\n#include \"Interfaces.h\"\n\nnamespace opcdbus {\n\nconst std::vector<EmbeddedXml>& EmbeddedInterfaceXml()\n{\n    static const std::vector<EmbeddedXml> files = {\n")
foreach(f IN LISTS FILES)
  file(READ "${f}" text)
  get_filename_component(name "${f}" NAME)
  string(APPEND body "        {\"${name}\", R\"xml(${text})xml\"},\n")
endforeach()
string(APPEND body "    };\n    return files;\n}\n\n} // namespace opcdbus\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
