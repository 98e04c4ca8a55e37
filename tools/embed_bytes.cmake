# Writes OUT, a C++ source that defines NAME as the bytes of the file IN and NAME##Size as
# their count: how the build takes a committed data file (the models' trained state) into the
# program, so that the data stays a data file in the tree.
#   cmake -DIN=file -DOUT=file.cpp -DNAME=kSomething -DHEADER=dir/header.h -P tools/embed_bytes.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# 32 bytes a line: "0xab," each
string(REPEAT "[0-9a-f][0-9a-f]" 32 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REPLACE "\n" "\n    " bytes "${bytes}")
if(size EQUAL 0)
  set(bytes "0")
endif()
file(WRITE "${OUT}.part"
  "// made by tools/embed_bytes.cmake from ${IN}; do not edit\n"
  "#include \"${HEADER}\"\n\n"
  "const std::uint8_t ${NAME}[] = {\n    ${bytes}\n};\n"
  "const std::size_t ${NAME}Size = ${size};\n")
file(RENAME "${OUT}.part" "${OUT}")
