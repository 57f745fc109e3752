# Turns data/public_suffix_icann.txt (one rule a line) into a C++ table.
file(STRINGS ${IN} rules)
set(body "")
set(n 0)
foreach(rule IN LISTS rules)
  string(STRIP "${rule}" rule)
  if(rule STREQUAL "")
    continue()
  endif()
  string(APPEND body "    \"${rule}\",\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT}.tmp
"// Generated from data/public_suffix_icann.txt; do not edit.\n"
"#include \"dns/psl.h\"\n\n"
"namespace ns::net::dns {\n\n"
"const char* const pslRules[] = {\n${body}};\n"
"const unsigned pslRuleCount = ${n};\n\n"
"} // namespace ns::net::dns\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
