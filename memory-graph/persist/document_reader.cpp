#include "document_reader.h"

#include <cstddef>
#include <string>
#include <variant>

#include "canonical_reader.h"
#include "error.h"
#include "graph_builder.h"
#include "piece_stream.h"

namespace recall_mesh::persist {
namespace {

using store::AdjacencyMap;

std::string syntax_fault(const PieceStream& in, rapidjson::ParseErrorCode code, std::size_t offset,
                         const char* stop_reason) {
  using namespace rapidjson;
  // The parser sees the end of input where it stands; a NUL byte looks the same to it.
  const bool at_end = in.at_end() && offset == in.Tell();
  const bool control_here =
      !in.at_end() && offset == in.Tell() && static_cast<unsigned char>(in.Peek()) < 0x20;
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid:
      return at_end ? "EOF while parsing a value" : "expected value";
    case kParseErrorDocumentRootNotSingular:
      return "trailing characters";
    case kParseErrorObjectMissName:
      return at_end ? "EOF while parsing an object" : "key must be a string";
    case kParseErrorObjectMissColon:
      return at_end ? "EOF while parsing an object" : "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? "EOF while parsing an object" : "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? "EOF while parsing a list" : "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return at_end ? "EOF while parsing a string" : "invalid escape";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "lone leading surrogate in hex escape";
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringMissQuotationMark:
      if (at_end) return "EOF while parsing a string";
      return control_here ? "control character (\\u0000-\\u001F) found while parsing a string"
                          : "invalid escape";
    case kParseErrorStringInvalidEncoding:
      return "invalid UTF-8 in string";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return "invalid number";
    case kParseErrorTermination:
      return stop_reason ? stop_reason : "syntax error";
    default:
      return "syntax error";
  }
}

Error syntax_error(const PieceStream& in, std::string fault, std::size_t offset) {
  const auto [line, column] = in.position_of(offset);
  return make_error(ErrorKind::kLoad, fault + " at line " + std::to_string(line) + " column " +
                                          std::to_string(column));
}

}  // namespace

std::variant<AdjacencyMap, Error> read_document(ByteSource& source) {
  // Documents this engine wrote take the fast reader; anything else, and any source that
  // cannot be read twice, the general one, which judges every document alike.
  if (source.rewindable()) {
    if (auto fast = read_canonical(source)) return std::move(*fast);
    if (!source.rewind()) return read_error(source.error());
  }
  // Numbers come as text so that integers and floats are told apart by how they are
  // written, and floats are rounded once, correctly, by from_chars.
  constexpr unsigned kFlags =
      rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
  PieceStream in(source);
  GraphBuilder builder;
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(in, builder);
  if (source.error() != 0) return read_error(source.error());
  if (result.IsError()) {
    return syntax_error(in, syntax_fault(in, result.Code(), result.Offset(), builder.stop_reason()),
                        result.Offset());
  }
  // The parser stops after the value: only blanks may follow, and a NUL byte is no blank.
  for (char c = in.Peek(); c == ' ' || c == '\t' || c == '\n' || c == '\r'; c = in.Peek()) {
    in.Take();
  }
  if (source.error() != 0) return read_error(source.error());
  if (!in.at_end()) return syntax_error(in, "trailing characters", in.Tell());
  return builder.finish();
}

}  // namespace recall_mesh::persist
