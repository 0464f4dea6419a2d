// Fuzz target: the DIME writer of the draft upload, read back by the tests'
// strict reader, and the reading of the service's CreateDraft answer.
//
// The first byte chooses. Below 128 the rest is records "id\x01type\x01data"
// separated by '\x02': the written message must follow every rule of the
// format and give the records back unchanged, the begin flag on the first
// only, the end flag on the last only. From 128 the rest is a service answer:
// a draft URL taken from it is never empty, and only an answer that says
// status="ok" gives one.
#include "lib/text.h"
#include "tests/support/dime_reader.h"
#include "upload/dime.h"
#include "upload/draft_upload_job.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view Cut(std::string_view& in, char separator) {
    const std::size_t at = in.find(separator);
    const std::string_view head = in.substr(0, at);
    in = at == std::string_view::npos ? std::string_view() : in.substr(at + 1);
    return head;
}

void CheckAnswer(std::string_view answer) {
    const std::optional<std::string> url = nuvex::DraftUrlFromResponse(std::string(answer));
    if (url &&
        (url->empty() || nuvex::text::ToLowerAscii(answer).find("status=\"ok\"") == std::string::npos)) {
        std::abort();
    }
}

void CheckRoundTrip(std::string_view in) {
    using namespace nuvex::dime;
    std::vector<Record> records;
    do {
        std::string_view fields = Cut(in, '\x02');
        Record r;
        r.id = Cut(fields, '\x01');
        r.type = Cut(fields, '\x01');
        r.inlineData = fields;
        r.format = records.size() % 2 ? TypeFormat::AbsoluteUri : TypeFormat::MediaType;
        records.push_back(std::move(r));
    } while (!in.empty() && records.size() < 64);
    const std::vector<Record> sent = records;
    std::string error;
    const auto seen = nuvex::test::ReadDime(WriteAll(std::move(records)), error);
    if (!error.empty() || seen.size() != sent.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const bool begin = (seen[i].flags & kMessageBegin) != 0;
        const bool end = (seen[i].flags & kMessageEnd) != 0;
        if (seen[i].id != sent[i].id || seen[i].type != sent[i].type || seen[i].data != sent[i].inlineData ||
            seen[i].typeFormat != static_cast<std::uint8_t>(sent[i].format) || begin != (i == 0) ||
            end != (i + 1 == seen.size())) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] >= 128) {
        CheckAnswer(rest);
    } else {
        CheckRoundTrip(rest);
    }
    return 0;
}
