// Builds Seafold's model meshes and saves them with the renderer's mesh
// serializer. Usage: seafold-mediagen-meshes OUTPUT_DIR
//
// Each model is a few simple solids (lathed profiles, boxes, flat fins), one
// sub-mesh per material. The models float with their waterline at y = -20,
// where the ocean surface lies, and face +Z.
#include <OgreDefaultHardwareBufferManager.h>
#include <OgreHardwareBufferManager.h>
#include <OgreLogManager.h>
#include <OgreMaterialManager.h>
#include <OgreMesh.h>
#include <OgreMeshManager.h>
#include <OgreMeshSerializer.h>
#include <OgreRoot.h>
#include <OgreSubMesh.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Ogre::Quaternion;
using Ogre::Vector3;

const float Waterline = -20.0f;

struct Vertex {
    Vector3 position;
    Vector3 normal;
};

// Geometry of one material.
struct Part {
    std::vector<Vertex> vertices;
    std::vector<uint16_t> indices;
};

// Places a solid built around the origin: scale, then rotate, then move.
struct Placement {
    Vector3 offset = Vector3::ZERO;
    Quaternion rotation = Quaternion::IDENTITY;
    Vector3 scale = Vector3::UNIT_SCALE;

    Vector3 point(const Vector3& p) const { return offset + rotation * (p * scale); }
    Vector3 normal(const Vector3& n) const { return (rotation * (n / scale)).normalisedCopy(); }
};

class Model {
public:
    Part& part(const std::string& material) { return mParts[material]; }

    // A triangle whose front faces the way its vertex normals point.
    static void triangle(Part& part, uint16_t a, uint16_t b, uint16_t c)
    {
        const Vertex& va = part.vertices[a];
        const Vertex& vb = part.vertices[b];
        const Vertex& vc = part.vertices[c];
        Vector3 face = (vb.position - va.position).crossProduct(vc.position - va.position);
        if (face.dotProduct(va.normal + vb.normal + vc.normal) < 0)
            std::swap(b, c);
        part.indices.insert(part.indices.end(), {a, b, c});
    }

    static uint16_t vertex(Part& part, const Vector3& position, const Vector3& normal)
    {
        part.vertices.push_back({position, normal});
        return uint16_t(part.vertices.size() - 1);
    }

    // Turns a profile of (radius, height) points, listed from bottom to top,
    // around the Y axis. A repeated point makes a crease.
    void lathe(const std::string& material, const std::vector<Ogre::Vector2>& profile, int segments,
               const Placement& where)
    {
        Part& p = part(material);
        size_t n = profile.size();
        std::vector<Ogre::Vector2> normals(n);
        for (size_t i = 0; i < n; ++i) {
            size_t prev = i > 0 && profile[i - 1] != profile[i] ? i - 1 : i;
            size_t next = i + 1 < n && profile[i + 1] != profile[i] ? i + 1 : i;
            Ogre::Vector2 tangent = profile[next] - profile[prev];
            if (tangent.squaredLength() == 0)
                tangent = Ogre::Vector2(0, 1);
            normals[i] = Ogre::Vector2(tangent.y, -tangent.x).normalisedCopy();
        }
        size_t base = p.vertices.size();
        for (int s = 0; s <= segments; ++s) {
            float angle = Ogre::Math::TWO_PI * float(s) / float(segments);
            float sn = std::sin(angle), cs = std::cos(angle);
            for (size_t i = 0; i < n; ++i) {
                Vector3 position(profile[i].x * sn, profile[i].y, profile[i].x * cs);
                Vector3 normal(normals[i].x * sn, normals[i].y, normals[i].x * cs);
                vertex(p, where.point(position), where.normal(normal));
            }
        }
        for (int s = 0; s < segments; ++s) {
            for (size_t i = 0; i + 1 < n; ++i) {
                if (profile[i] == profile[i + 1])
                    continue;
                auto at = [&](int seg, size_t row) { return uint16_t(base + size_t(seg) * n + row); };
                if (profile[i].x > 0)
                    triangle(p, at(s, i), at(s + 1, i), at(s + 1, i + 1));
                if (profile[i + 1].x > 0)
                    triangle(p, at(s, i), at(s + 1, i + 1), at(s, i + 1));
            }
        }
    }

    // An axis-aligned box of the given size, centred on the origin before placing.
    void box(const std::string& material, const Vector3& size, const Placement& where)
    {
        Part& p = part(material);
        Vector3 h = size * 0.5f;
        const Vector3 axes[3] = {Vector3::UNIT_X, Vector3::UNIT_Y, Vector3::UNIT_Z};
        for (int axis = 0; axis < 3; ++axis) {
            for (float sign : {-1.0f, 1.0f}) {
                Vector3 n = axes[axis] * sign;
                Vector3 u = axes[(axis + 1) % 3], v = axes[(axis + 2) % 3];
                Vector3 centre = n * h;
                Vector3 du = u * h, dv = v * h;
                uint16_t a = vertex(p, where.point(centre - du - dv), where.normal(n));
                uint16_t b = vertex(p, where.point(centre + du - dv), where.normal(n));
                uint16_t c = vertex(p, where.point(centre + du + dv), where.normal(n));
                uint16_t d = vertex(p, where.point(centre - du + dv), where.normal(n));
                triangle(p, a, b, c);
                triangle(p, a, c, d);
            }
        }
    }

    // A flat polygon (a fan around its first corner), seen from both sides
    // through a material that does not cull.
    void fin(const std::string& material, const std::vector<Vector3>& corners)
    {
        Part& p = part(material);
        Vector3 normal = (corners[1] - corners[0]).crossProduct(corners[2] - corners[0]).normalisedCopy();
        size_t base = p.vertices.size();
        for (const Vector3& c : corners)
            vertex(p, c, normal);
        for (size_t i = 1; i + 1 < corners.size(); ++i)
            triangle(p, uint16_t(base), uint16_t(base + i), uint16_t(base + i + 1));
    }

    const std::map<std::string, Part>& parts() const { return mParts; }

private:
    std::map<std::string, Part> mParts;
};

Placement at(const Vector3& offset, const Vector3& scale = Vector3::UNIT_SCALE,
             const Quaternion& rotation = Quaternion::IDENTITY)
{
    Placement p;
    p.offset = offset;
    p.scale = scale;
    p.rotation = rotation;
    return p;
}

// Y-axis solids turned to lie along +Z.
const Quaternion AlongZ(Ogre::Degree(90), Vector3::UNIT_X);
const Quaternion AlongX(Ogre::Degree(-90), Vector3::UNIT_Z);

std::vector<Ogre::Vector2> cylinderProfile(float radius, float height)
{
    return {{0, 0}, {radius, 0}, {radius, 0}, {radius, height}, {radius, height}, {0, height}};
}

Model boat()
{
    Model m;
    // Hull: a long spindle, its lower half under water; flattened on top.
    std::vector<Ogre::Vector2> hull;
    for (int i = 0; i <= 16; ++i) {
        float t = float(i) / 16.0f;
        float r = 7.0f * std::pow(std::sin(Ogre::Math::PI * t), 0.6f);
        hull.push_back({r, -18.0f + 36.0f * t});
    }
    m.lathe("Seafold/Wood", hull, 24, at({0, Waterline + 1.0f, 0}, {1.0f, 1.0f, 0.55f}, AlongZ));
    m.box("Seafold/Wood", {8.0f, 0.8f, 26.0f}, at({0, Waterline + 3.6f, 0}));
    m.box("Seafold/WhitePaint", {6.0f, 4.0f, 7.0f}, at({0, Waterline + 6.0f, -7.0f}));
    m.lathe("Seafold/Wood", cylinderProfile(0.5f, 26.0f), 8, at({0, Waterline + 4.0f, 2.0f}));
    m.fin("Seafold/Sail", {{0, Waterline + 6.0f, 2.6f}, {0, Waterline + 29.0f, 2.6f}, {0, Waterline + 6.0f, 15.0f}});
    m.fin("Seafold/Sail", {{0, Waterline + 6.0f, 1.4f}, {0, Waterline + 24.0f, 1.4f}, {0, Waterline + 6.0f, -5.0f}});
    return m;
}

Model buoy()
{
    Model m;
    std::vector<Ogre::Vector2> body = {{0, -6},   {5.5f, -4}, {6.5f, 0}, {6.5f, 0}, {6.5f, 3},
                                       {6.5f, 3}, {2.5f, 5},  {2.5f, 5}, {0, 5}};
    m.lathe("Seafold/RedPaint", body, 24, at({0, Waterline, 0}));
    m.lathe("Seafold/WhitePaint", cylinderProfile(6.7f, 1.6f), 24, at({0, Waterline + 0.6f, 0}));
    // A cage of four posts carrying the lamp.
    for (int i = 0; i < 4; ++i) {
        float a = Ogre::Math::HALF_PI * float(i) + Ogre::Math::PI / 4;
        m.lathe("Seafold/DarkMetal", cylinderProfile(0.35f, 12.0f), 6,
                at({2.0f * std::cos(a), Waterline + 5.0f, 2.0f * std::sin(a)}));
    }
    m.lathe("Seafold/DarkMetal", cylinderProfile(2.8f, 0.6f), 16, at({0, Waterline + 17.0f, 0}));
    std::vector<Ogre::Vector2> lamp;
    for (int i = 0; i <= 8; ++i) {
        float t = Ogre::Math::PI * float(i) / 8.0f;
        lamp.push_back({1.4f * std::sin(t), -1.4f * std::cos(t)});
    }
    m.lathe("Seafold/Lamp", lamp, 12, at({0, Waterline + 19.0f, 0}));
    return m;
}

Model fish()
{
    Model m;
    // Body along +Z (head first), narrow from side to side.
    std::vector<Ogre::Vector2> body;
    for (int i = 0; i <= 14; ++i) {
        float t = float(i) / 14.0f;
        float r = 5.0f * std::pow(std::sin(Ogre::Math::PI * t), 0.8f) * (1.0f - 0.35f * (1.0f - t));
        body.push_back({r, -12.0f + 24.0f * t});
    }
    const float y = Waterline + 8.0f; // leaping out of the water
    m.lathe("Seafold/FishScales", body, 20, at({0, y, 0}, {0.45f, 1.0f, 1.0f}, AlongZ));
    m.fin("Seafold/FishFin", {{0, y, -10.5f}, {0, y + 6.0f, -17.0f}, {0, y, -14.0f}, {0, y - 6.0f, -17.0f}});
    m.fin("Seafold/FishFin", {{0, y + 4.0f, 2.0f}, {0, y + 8.5f, -4.0f}, {0, y + 4.0f, -6.0f}});
    m.fin("Seafold/FishFin", {{1.5f, y - 2.0f, 4.0f}, {4.5f, y - 4.0f, 0.5f}, {1.5f, y - 2.0f, 1.0f}});
    m.fin("Seafold/FishFin", {{-1.5f, y - 2.0f, 4.0f}, {-4.5f, y - 4.0f, 0.5f}, {-1.5f, y - 2.0f, 1.0f}});
    for (float side : {-1.0f, 1.0f}) {
        std::vector<Ogre::Vector2> eye;
        for (int i = 0; i <= 6; ++i) {
            float t = Ogre::Math::PI * float(i) / 6.0f;
            eye.push_back({0.7f * std::sin(t), -0.7f * std::cos(t)});
        }
        m.lathe("Seafold/DarkMetal", eye, 8, at({side * 1.7f, y + 1.2f, 8.0f}));
    }
    return m;
}

Model lighthouse()
{
    Model m;
    std::vector<Ogre::Vector2> rock = {{0, -8}, {16, -6}, {14, 0}, {9, 3}, {0, 4}};
    m.lathe("Seafold/DarkMetal", rock, 14, at({0, Waterline, 0}, {1.0f, 1.0f, 0.85f}));
    // A tapering tower in red and white bands.
    const float base = Waterline + 3.0f;
    for (int band = 0; band < 5; ++band) {
        float y0 = 7.0f * float(band), y1 = y0 + 7.0f;
        float r0 = 6.0f - 0.5f * float(band), r1 = r0 - 0.5f;
        m.lathe(band % 2 ? "Seafold/WhitePaint" : "Seafold/RedPaint", {{r0, y0}, {r1, y1}}, 20, at({0, base, 0}));
    }
    m.lathe("Seafold/DarkMetal", cylinderProfile(4.5f, 0.8f), 20, at({0, base + 35.0f, 0}));
    m.lathe("Seafold/Lamp", cylinderProfile(2.2f, 4.0f), 16, at({0, base + 35.8f, 0}));
    m.lathe("Seafold/RedPaint", {{0, 0}, {3.2f, 0}, {3.2f, 0}, {0, 3.5f}}, 16, at({0, base + 39.8f, 0}));
    return m;
}

bool save(const std::string& dir, const std::string& name, const Model& model)
{
    Ogre::MeshPtr mesh =
        Ogre::MeshManager::getSingleton().createManual(name, Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME);
    Ogre::AxisAlignedBox bounds;
    Ogre::HardwareBufferManager& buffers = Ogre::HardwareBufferManager::getSingleton();
    for (const auto& entry : model.parts()) {
        const Part& part = entry.second;
        if (part.vertices.size() > 65535) {
            std::fprintf(stderr, "seafold-mediagen-meshes: %s has too many vertices\n", name.c_str());
            return false;
        }
        Ogre::SubMesh* sub = mesh->createSubMesh();
        sub->useSharedVertices = false;
        sub->vertexData = new Ogre::VertexData();
        sub->vertexData->vertexCount = part.vertices.size();
        Ogre::VertexDeclaration* decl = sub->vertexData->vertexDeclaration;
        size_t offset = decl->addElement(0, 0, Ogre::VET_FLOAT3, Ogre::VES_POSITION).getSize();
        decl->addElement(0, offset, Ogre::VET_FLOAT3, Ogre::VES_NORMAL);
        Ogre::HardwareVertexBufferSharedPtr vertices = buffers.createVertexBuffer(
            decl->getVertexSize(0), part.vertices.size(), Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY);
        std::vector<float> data;
        for (const Vertex& v : part.vertices) {
            data.insert(data.end(), {v.position.x, v.position.y, v.position.z, v.normal.x, v.normal.y, v.normal.z});
            bounds.merge(v.position);
        }
        vertices->writeData(0, data.size() * sizeof(float), data.data(), true);
        sub->vertexData->vertexBufferBinding->setBinding(0, vertices);

        sub->indexData->indexCount = part.indices.size();
        sub->indexData->indexBuffer = buffers.createIndexBuffer(
            Ogre::HardwareIndexBuffer::IT_16BIT, part.indices.size(), Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY);
        sub->indexData->indexBuffer->writeData(0, part.indices.size() * sizeof(uint16_t), part.indices.data(), true);

        // The serializer stores the material's name; the material itself
        // is defined in models.material.
        Ogre::MaterialPtr material = Ogre::MaterialManager::getSingleton().getByName(entry.first);
        if (!material)
            material = Ogre::MaterialManager::getSingleton().create(
                entry.first, Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME);
        sub->setMaterial(material);
    }
    mesh->_setBounds(bounds);
    mesh->_setBoundingSphereRadius(std::max(bounds.getMaximum().length(), bounds.getMinimum().length()));
    Ogre::MeshSerializer().exportMesh(mesh.get(), dir + "/" + name);
    Ogre::MeshManager::getSingleton().remove(mesh);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: seafold-mediagen-meshes OUTPUT_DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    try {
        Ogre::LogManager logs;
        logs.createLog("mediagen.log", true, false, true);
        Ogre::Root root("", "", "");
        Ogre::DefaultHardwareBufferManager hardwareBuffers;
        bool ok = save(dir, "boat.mesh", boat()) && save(dir, "buoy.mesh", buoy()) && save(dir, "fish.mesh", fish()) &&
                  save(dir, "lighthouse.mesh", lighthouse());
        return ok ? 0 : 1;
    } catch (const Ogre::Exception& e) {
        std::fprintf(stderr, "seafold-mediagen-meshes: %s\n", e.getFullDescription().c_str());
        return 1;
    }
}
