#include "Tokenizer.h"

#include "TokenReader.h"

std::int32_t NextToken(TokenCursor& cursor, MarkupToken& token) {
    return markup_internal::ReadToken<true>(cursor, token, -1);
}
