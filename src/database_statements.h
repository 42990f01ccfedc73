// The CALL statements of the receipt inserts. Pure functions of their
// arguments and of the escaping of the connection they will run on, so that
// the exact text can be checked without a server.
//
// A text is written between single quotes after escaping; a number in
// decimal; a flag as TRUE or FALSE; a text list as its elements joined by
// ", " inside one pair of quotes.
#ifndef SRC_DATABASE_STATEMENTS_H_
#define SRC_DATABASE_STATEMENTS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "src/database.h"

namespace tvx {

// Escapes a text for use between single quotes.
using SqlEscaper = std::function<std::string(const std::string&)>;

// Builds "CALL <procedure>(arg, arg, ...)".
class CallStatement {
 public:
  CallStatement(const std::string& procedure, SqlEscaper escape);

  CallStatement& Text(const std::string& value);
  CallStatement& Number(int64_t value);
  // A number between quotes, for parameters the procedures declare as text
  // or convert themselves.
  CallStatement& QuotedNumber(int64_t value);
  CallStatement& Flag(bool value);
  CallStatement& TextList(const std::vector<std::string>& values);

  // The statement; `trailing_space` puts one space after the ")".
  std::string Finish(bool trailing_space) const;

 private:
  void Separate();

  SqlEscaper escape_;
  std::string text_;
  bool first_ = true;
};

// `receipt_data` without its trailing "=" characters.
std::string StripTrailingPadding(const std::string& receipt_data);

// The statements of the inserts, one per stored procedure. The first Google
// Play procedure takes the row without its last three fields.
std::string ComposeGooglePlayStatement(const SqlEscaper& escape, const GooglePlayReceiptRow& row);
std::string ComposeGooglePlay2Statement(const SqlEscaper& escape,
                                        const GooglePlayReceiptRow& row);
std::string ComposeAppleAppStoreStatement(const SqlEscaper& escape,
                                          const AppleAppStoreReceiptRow& row);
std::string ComposeTStoreStatement(const SqlEscaper& escape, const TStoreReceiptRow& row);
std::string ComposeP4StoreStatement(const SqlEscaper& escape, const P4StoreReceiptRow& row);
std::string ComposeOneStoreStatement(const SqlEscaper& escape, const OneStoreReceiptRow& row);

std::string ComposeRevocationStatement(const SqlEscaper& escape, const RevocationRow& row);
// The feed's query: at most `limit` rows with a seq above `since`, by seq.
std::string ComposeRevocationListStatement(uint64_t since, int limit);

}  // namespace tvx

#endif  // SRC_DATABASE_STATEMENTS_H_
