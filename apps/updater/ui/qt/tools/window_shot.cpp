// Saves what an X window shows, with its child windows (menus and dialogs are windows of
// their own), as a PNG: the screenshots of the docs and the checks of the window tests.
//
//   tarvel_window_shot WINDOW-ID OUT.png [ROOT-X ROOT-Y WIDTH HEIGHT]
// With a rectangle, that part of the screen is saved instead (a window and its dialogs).

#include <QImage>
#include <QString>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 7) {
        std::fprintf(stderr, "usage: tarvel_window_shot WINDOW-ID OUT.png [X Y WIDTH HEIGHT]\n");
        return 2;
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "tarvel_window_shot: no display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_window_t window = xcb_window_t(std::strtoul(argv[1], nullptr, 0));
    int16_t x = 0, y = 0;
    uint16_t width = 0, height = 0;
    if (argc == 7) {
        window = screen->root;
        x = int16_t(std::atoi(argv[3]));
        y = int16_t(std::atoi(argv[4]));
        width = uint16_t(std::atoi(argv[5]));
        height = uint16_t(std::atoi(argv[6]));
    } else {
        std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
            xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr), &std::free);
        if (!geometry) {
            std::fprintf(stderr, "tarvel_window_shot: no window %s\n", argv[1]);
            return 1;
        }
        width = geometry->width;
        height = geometry->height;
    }
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
        xcb_get_image_reply(connection,
                            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, x, y, width, height, ~0u),
                            nullptr),
        &std::free);
    if (!image || image->depth < 24) {
        std::fprintf(stderr, "tarvel_window_shot: cannot read the window's pixels\n");
        return 1;
    }
    const QImage pixels(xcb_get_image_data(image.get()), width, height, width * 4, QImage::Format_RGB32);
    const bool saved = pixels.copy().save(QString::fromLocal8Bit(argv[2]), "PNG");
    xcb_disconnect(connection);
    return saved ? 0 : 1;
}
