#version 120
// Rolling swell: three travelling sine waves of falling size and rising
// frequency move the surface up and down; the normal follows their slope.

attribute vec4 vertex;

uniform mat4 worldViewProj;
uniform vec4 eyePosition;     // camera, object space
uniform float time;           // seconds
uniform float waveAmplitude;  // height of the largest wave
uniform float waveFrequency;  // radians per unit of the largest wave
uniform float waveSpeed;      // radians per second

varying vec3 vPosition;
varying vec3 vNormal;
varying vec3 vEye;

void main()
{
    vec2 d1 = normalize(vec2(1.0, 0.35));
    vec2 d2 = normalize(vec2(-0.45, 1.0));
    vec2 d3 = normalize(vec2(0.8, -0.7));
    float k1 = waveFrequency;
    float k2 = waveFrequency * 1.9;
    float k3 = waveFrequency * 3.7;
    float a1 = waveAmplitude;
    float a2 = waveAmplitude * 0.45;
    float a3 = waveAmplitude * 0.2;
    float p1 = k1 * dot(d1, vertex.xz) + time * waveSpeed;
    float p2 = k2 * dot(d2, vertex.xz) + time * waveSpeed * 1.37;
    float p3 = k3 * dot(d3, vertex.xz) + time * waveSpeed * 1.91;

    vec4 p = vertex;
    p.y += a1 * sin(p1) + a2 * sin(p2) + a3 * sin(p3);
    vec2 slope = a1 * k1 * cos(p1) * d1 + a2 * k2 * cos(p2) * d2 + a3 * k3 * cos(p3) * d3;

    vPosition = p.xyz;
    vNormal = normalize(vec3(-slope.x, 1.0, -slope.y));
    vEye = eyePosition.xyz - p.xyz;
    gl_Position = worldViewProj * p;
}
