// twf streams: a file opened for writing objects or for loading them back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/store/stored_config.hpp"

namespace whistle {

class TwfReader;
class TwfWriter;

// Base of the twf stores; streams are neither copied nor compared by value.
class Store : public BaseType {
public:
    Store() : BaseType(TypeCode::Store) {}
    std::shared_ptr<BaseType> clone() const override;
    bool equals(const BaseType& other) const override { return this == &other; }
};

class AbstractTwfStream : public Store {
public:
    enum class Mode { Read, Write };

    // Opens `filename` for reading (files of version 6 and below give a Twf6Stream) or writing.
    // Throws StoreError.
    static std::shared_ptr<AbstractTwfStream> open(const std::string& filename, Mode mode);

    Mode mode() const { return mode_; }
    bool closed() const { return closed_; }
    // False for files without an explicit-objects table in order of writing.
    virtual bool keeps_write_order() const = 0;

    // Write mode: stores the object with its dependencies and lists it as explicit.
    void write(const std::shared_ptr<BaseType>& object);
    // Write mode: finishes the file. Read mode: releases it. Any later use fails.
    void close();

    // Read mode: the explicit objects in the order written.
    std::vector<std::shared_ptr<BaseType>> explicit_objects();
    // Read mode: the objects of one type, explicit ones or all.
    std::vector<std::shared_ptr<BaseType>> objects(TypeCode type, bool only_explicit);
    // Read mode: the stored configuration record (null when absent) and its values.
    const json& config_record();
    StoredConfig stored_config();

    AbstractTwfStream(Mode mode, std::unique_ptr<TwfWriter> writer, std::unique_ptr<TwfReader> reader);
    ~AbstractTwfStream() override;

    // "TwfStream in read mode", "TwfStream in write mode" or "TwfStream closed".
    std::string str(bool representation) const override;

private:
    TwfReader& reader(const char* write_mode_message);

    Mode mode_;
    bool closed_ = false;
    std::unique_ptr<TwfWriter> writer_;
    std::unique_ptr<TwfReader> reader_;
};

class TwfStream final : public AbstractTwfStream {
public:
    using AbstractTwfStream::AbstractTwfStream;
    bool keeps_write_order() const override { return true; }
};

// Files of format versions 1 to 6: loaded like version 7 files, without the explicit table.
class Twf6Stream final : public AbstractTwfStream {
public:
    using AbstractTwfStream::AbstractTwfStream;
    bool keeps_write_order() const override { return false; }
};

constexpr const char* kClosedStream = "TwfStream instance already closed.";

}  // namespace whistle
