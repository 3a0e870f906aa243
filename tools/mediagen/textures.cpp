// Paints Seafold's textures: the six faces of the sky cube map and the light
// flare. Usage: seafold-mediagen-textures OUTPUT_DIR [FACE_SIZE]
//
// The sky is a function of the view direction (a gradient from a pale
// horizon to a deep zenith, a sun glow and clouds from 3D value noise), so
// the faces meet without seams.
#include "png.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Vec3 {
    double x, y, z;
};

Vec3 normalise(Vec3 v)
{
    double length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

double dot(Vec3 a, Vec3 b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

double mix(double a, double b, double t)
{
    return a + (b - a) * t;
}

double smoothstep(double edge0, double edge1, double x)
{
    double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Lattice value in [0, 1) from an integer hash: the same everywhere, every run.
double latticeValue(int x, int y, int z)
{
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u + uint32_t(z) * 2147483647u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return double(h & 0xffffff) / double(0x1000000);
}

double valueNoise(double x, double y, double z)
{
    int ix = int(std::floor(x)), iy = int(std::floor(y)), iz = int(std::floor(z));
    double fx = x - ix, fy = y - iy, fz = z - iz;
    double ux = fx * fx * (3 - 2 * fx), uy = fy * fy * (3 - 2 * fy), uz = fz * fz * (3 - 2 * fz);
    double c[2][2][2];
    for (int dz = 0; dz < 2; ++dz)
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx)
                c[dz][dy][dx] = latticeValue(ix + dx, iy + dy, iz + dz);
    double y0 = mix(mix(c[0][0][0], c[0][0][1], ux), mix(c[0][1][0], c[0][1][1], ux), uy);
    double y1 = mix(mix(c[1][0][0], c[1][0][1], ux), mix(c[1][1][0], c[1][1][1], ux), uy);
    return mix(y0, y1, uz);
}

double fractalNoise(Vec3 p)
{
    double sum = 0, amplitude = 0.5;
    for (int octave = 0; octave < 5; ++octave) {
        sum += amplitude * valueNoise(p.x, p.y, p.z);
        p = {p.x * 2.03, p.y * 2.03, p.z * 2.03};
        amplitude *= 0.5;
    }
    return sum;
}

const Vec3 SunDirection = normalise({-0.35, 0.30, -0.89});

Vec3 skyColour(Vec3 d)
{
    double elevation = d.y;
    if (elevation < 0) {
        // Below the horizon: a dark sea haze, mostly hidden by the ocean.
        double t = smoothstep(0.0, -0.3, elevation);
        return {mix(0.55, 0.08, t), mix(0.66, 0.20, t), mix(0.74, 0.28, t)};
    }
    double t = std::pow(elevation, 0.55);
    Vec3 colour = {mix(0.78, 0.16, t), mix(0.86, 0.38, t), mix(0.94, 0.74, t)};

    double sun = std::max(dot(d, SunDirection), 0.0);
    double glow = std::pow(sun, 24.0) * 0.45 + std::pow(sun, 900.0) * 1.5;
    colour = {colour.x + glow, colour.y + glow * 0.92, colour.z + glow * 0.75};

    // Clouds thin out towards the horizon, where they would look stretched.
    Vec3 p = {d.x * 3.1 + 11.0, d.y * 3.1, d.z * 3.1 - 5.0};
    double density = smoothstep(0.48, 0.72, fractalNoise(p)) * smoothstep(0.02, 0.25, elevation);
    double shade = 0.82 + 0.18 * smoothstep(0.3, 0.9, fractalNoise({p.x * 2, p.y * 2, p.z * 2}));
    colour = {mix(colour.x, shade, density), mix(colour.y, shade, density), mix(colour.z, shade * 1.02, density)};
    return colour;
}

uint8_t toByte(double value)
{
    return uint8_t(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
}

// The direction of pixel (a, b), each in [-1, 1] from the top-left corner,
// on each face of an OpenGL cube map; the suffixes are the renderer's order
// +X, -X, +Y, -Y, +Z, -Z.
struct Face {
    const char* suffix;
    Vec3 (*direction)(double a, double b);
};

const Face Faces[6] = {
    {"rt", [](double a, double b) { return Vec3{1, -b, -a}; }},
    {"lf", [](double a, double b) { return Vec3{-1, -b, a}; }},
    {"up", [](double a, double b) { return Vec3{a, 1, b}; }},
    {"dn", [](double a, double b) { return Vec3{a, -1, -b}; }},
    {"fr", [](double a, double b) { return Vec3{a, -b, 1}; }},
    {"bk", [](double a, double b) { return Vec3{-a, -b, -1}; }},
};

bool writeSky(const std::string& dir, int size)
{
    for (const Face& face : Faces) {
        std::vector<uint8_t> pixels(size_t(size) * size * 3);
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                double a = (x + 0.5) / size * 2 - 1;
                double b = (y + 0.5) / size * 2 - 1;
                Vec3 c = skyColour(normalise(face.direction(a, b)));
                uint8_t* p = &pixels[(size_t(y) * size + x) * 3];
                p[0] = toByte(c.x);
                p[1] = toByte(c.y);
                p[2] = toByte(c.z);
            }
        }
        std::string error;
        if (!mediagen::writePng(dir + "/sky_" + face.suffix + ".png", size, size, 3, pixels, error)) {
            std::fprintf(stderr, "seafold-mediagen-textures: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

// A warm core, a soft halo and six faint rays; black is transparent because
// the flare is added onto the scene.
bool writeFlare(const std::string& dir)
{
    const int size = 128;
    std::vector<uint8_t> pixels(size_t(size) * size * 3);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double dx = (x + 0.5) / size * 2 - 1, dy = (y + 0.5) / size * 2 - 1;
            double r = std::sqrt(dx * dx + dy * dy);
            double angle = std::atan2(dy, dx);
            double core = std::exp(-r * r * 60.0);
            double halo = std::exp(-r * r * 6.0) * 0.55;
            double rays = std::pow(std::fabs(std::cos(angle * 3.0)), 40.0) * std::exp(-r * 3.5) * 0.5;
            double fade = smoothstep(1.0, 0.85, r); // nothing at the square's edge
            double v = (core + halo + rays) * fade;
            uint8_t* p = &pixels[(size_t(y) * size + x) * 3];
            p[0] = toByte(v);
            p[1] = toByte(v * 0.93);
            p[2] = toByte(v * 0.78);
        }
    }
    std::string error;
    if (!mediagen::writePng(dir + "/flare.png", size, size, 3, pixels, error)) {
        std::fprintf(stderr, "seafold-mediagen-textures: %s\n", error.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: seafold-mediagen-textures OUTPUT_DIR [FACE_SIZE]\n");
        return 2;
    }
    int size = argc == 3 ? std::atoi(argv[2]) : 512;
    if (size < 8 || size > 4096) {
        std::fprintf(stderr, "seafold-mediagen-textures: face size must be 8 to 4096\n");
        return 2;
    }
    return writeSky(argv[1], size) && writeFlare(argv[1]) ? 0 : 1;
}
