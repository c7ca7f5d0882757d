// A build of the tool without image support: frames load and read back as
// .bin files only, and the image commands (convert, batch, stamp,
// testpatterns, demo) are left out. They stay out of the command list, but a
// user who types one is told why it is missing rather than that it does not
// exist.
#include <memory>

#include <CLI/CLI.hpp>

#include "common.hpp"
#include "frame_images.hpp"

namespace vektool {

const bool kImageSupport = false;

namespace {

constexpr const char *kLeftOut = "convert, batch, stamp, testpatterns and demo";

[[noreturn]] void refuseImageFile(const std::string &path) {
    throw NotInThisBuild("'" + path +
                         "' is not a .bin frame file; this vek is built without image support "
                         "and reads and writes frames as .bin files only");
}

// A left-out command: hidden from the command list, it takes whatever
// arguments follow and answers with one line.
void addLeftOutCommand(CLI::App &app, Context &ctx, const std::string &name) {
    auto *cmd = app.add_subcommand(name, "left out of this build: vek is built without image support");
    cmd->group("");
    cmd->fallthrough(false);  // its arguments, options too, stay with it
    cmd->prefix_command();
    cmd->callback([&ctx, name] {
        ctx.action = [name](Context &) {
            throw NotInThisBuild("this vek is built without image support: " + std::string(kLeftOut) +
                                 " are left out (frames load and read back as .bin files)");
        };
    });
}

}  // namespace

const char *imageSupportNote() {
    static const std::string note = "This vek is built without image support: the commands " + std::string(kLeftOut) +
                                    " are left out (they answer with status 2), and load and readback take .bin "
                                    "frame files only.";
    return note.c_str();
}

ImageSize checkImageInput(const std::string &path) { refuseImageFile(path); }

void checkImageFits(const std::string &path, ImageSize, uint32_t, uint32_t, bool) { refuseImageFile(path); }

void checkImageOutput(const std::string &path) { refuseImageFile(path); }

std::vector<uint8_t> imageToFrame(const std::string &path, uint32_t, uint32_t, uint32_t, bool, ImageSize) {
    refuseImageFile(path);
}

void frameToImage(const uint8_t *, uint32_t, uint32_t, uint32_t, const std::string &path) { refuseImageFile(path); }

void addImageCommands(CLI::App &app, Context &ctx) {
    for (const char *name : {"convert", "batch", "stamp", "testpatterns"}) addLeftOutCommand(app, ctx, name);
}

void addDemoCommand(CLI::App &app, Context &ctx) { addLeftOutCommand(app, ctx, "demo"); }

}  // namespace vektool
