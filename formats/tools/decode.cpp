// decode --type CONTENT_TYPE [FILE]: prints a document's canonical text.
#include <cstdio>

#include <kav/formats/decode_tool.h>

int main(int argc, char** argv) { return Vemi::Formats::RunDecode(argc, argv, stdout, stderr); }
