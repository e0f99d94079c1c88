#include "core/store/twf_stream.hpp"


#include "core/foundation/properties.hpp"
#include "core/store/twf_reader.hpp"
#include "core/store/twf_writer.hpp"

namespace whistle {

std::shared_ptr<BaseType> Store::clone() const { throw StoreError("Streams cannot be copied."); }

AbstractTwfStream::AbstractTwfStream(Mode mode, std::unique_ptr<TwfWriter> writer,
                                     std::unique_ptr<TwfReader> reader)
    : mode_(mode), writer_(std::move(writer)), reader_(std::move(reader)) {}

AbstractTwfStream::~AbstractTwfStream() {
    // A writer left open is finished here; errors have nowhere to go.
    if (!closed_) run_unreported([this] { close(); });
}

std::shared_ptr<AbstractTwfStream> AbstractTwfStream::open(const std::string& filename, Mode mode) {
    if (mode == Mode::Write)
        return std::make_shared<TwfStream>(mode, std::make_unique<TwfWriter>(filename), nullptr);
    auto reader = std::make_unique<TwfReader>(read_whole_file(filename));
    std::shared_ptr<AbstractTwfStream> stream;
    if (reader->version() < kTwfVersion)
        stream = std::make_shared<Twf6Stream>(mode, nullptr, std::move(reader));
    else
        stream = std::make_shared<TwfStream>(mode, nullptr, std::move(reader));
    if (auto properties = stream->reader_->stream_properties())
        stream->set_properties(std::static_pointer_cast<Properties>(properties));
    return stream;
}

std::string AbstractTwfStream::str(bool) const {
    if (closed_) return "TwfStream closed";
    return mode_ == Mode::Read ? "TwfStream in read mode" : "TwfStream in write mode";
}

void AbstractTwfStream::write(const std::shared_ptr<BaseType>& object) {
    if (closed_) throw StoreError(kClosedStream);
    if (mode_ != Mode::Write) throw StoreError("TwfStream must be opened in write mode.");
    writer_->write_explicit(object);
}

void AbstractTwfStream::close() {
    if (closed_) throw StoreError(kClosedStream);
    closed_ = true;
    if (writer_) {
        const Properties* own = existing_properties();
        std::shared_ptr<BaseType> properties;
        if (own && !own->entries().empty()) properties = this->properties();
        auto writer = std::move(writer_);
        writer->finish(properties);
    }
    reader_.reset();
}

TwfReader& AbstractTwfStream::reader(const char* write_mode_message) {
    if (closed_) throw StoreError(kClosedStream);
    if (mode_ != Mode::Read) throw StoreError(write_mode_message);
    return *reader_;
}

std::vector<std::shared_ptr<BaseType>> AbstractTwfStream::explicit_objects() {
    TwfReader& in = reader("TwfStream not opened in read mode.");
    if (!keeps_write_order())
        throw StoreError(
            "This TwfStream uses a older version of the twf format. It does not support this "
            "function.");
    std::vector<std::shared_ptr<BaseType>> result;
    for (const TwfReader::Entry& entry : in.explicit_entries()) result.push_back(in.load(entry));
    return result;
}

std::vector<std::shared_ptr<BaseType>> AbstractTwfStream::objects(TypeCode type, bool only_explicit) {
    const char* message = type == TypeCode::Component
                              ? "TwfStream in write mode: cannot load component from it."
                              : "TwfStream in write mode: cannot load technology from it.";
    TwfReader& in = reader(message);
    // Older files list no explicit objects: all of them count.
    const auto& entries = only_explicit && keeps_write_order() ? in.explicit_entries() : in.all();
    std::vector<std::shared_ptr<BaseType>> result;
    for (const TwfReader::Entry& entry : entries)
        if (entry.type == type) result.push_back(in.load(entry));
    return result;
}

const json& AbstractTwfStream::config_record() {
    return reader("TwfStream not opened in read mode.").config_record();
}

StoredConfig AbstractTwfStream::stored_config() {
    return reader("TwfStream not opened in read mode.").stored_config();
}

}  // namespace whistle
