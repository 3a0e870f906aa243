#version 120
// Choppy sea: three Gerstner waves around the wind direction. Besides lifting
// the surface they push it towards the crests, which sharpens them.

attribute vec4 vertex;

uniform mat4 worldViewProj;
uniform vec4 eyePosition;    // camera, object space
uniform float time;          // seconds
uniform float waveHeight;    // crest to mean level of the largest wave
uniform float waveLength;    // of the largest wave, in units
uniform float choppiness;    // 0 round waves .. 1 sharp crests
uniform vec4 windDirection;  // x and z used
uniform float gustSpeed;     // 1 = deep-water wave speed

varying vec3 vPosition;
varying vec3 vNormal;
varying vec3 vEye;
varying float vCrest;        // crest sharpness: 0 in troughs and on slopes, near 1 where
                             // every wave peaks at once on a choppy sea

void main()
{
    vec2 wind = windDirection.xz;
    if (dot(wind, wind) < 1e-6)
        wind = vec2(1.0, 0.0);
    wind = normalize(wind);
    vec2 dirs[3];
    dirs[0] = wind;
    dirs[1] = vec2(wind.x * 0.825 - wind.y * 0.565, wind.x * 0.565 + wind.y * 0.825);
    dirs[2] = vec2(wind.x * 0.622 + wind.y * 0.783, -wind.x * 0.783 + wind.y * 0.622);
    float scale[3];
    scale[0] = 1.0;
    scale[1] = 0.55;
    scale[2] = 0.3;

    vec3 p = vertex.xyz;
    vec3 n = vec3(0.0, 1.0, 0.0);
    float crest = 0.0;
    for (int i = 0; i < 3; ++i) {
        float k = 6.2831853 / max(waveLength * scale[i], 1.0);
        float a = waveHeight * scale[i];
        float w = sqrt(9.81 * k) * gustSpeed;
        float q = choppiness / max(k * a * 3.0, 1e-4);
        float phase = k * dot(dirs[i], vertex.xz) - w * time;
        float c = cos(phase);
        float s = sin(phase);
        p.xz += q * a * dirs[i] * c;
        p.y += a * s;
        n.xz -= dirs[i] * k * a * c;
        n.y -= q * k * a * s;
        // Only the top of each wave counts: its height to the sixth power.
        crest += pow(s * 0.5 + 0.5, 6.0) * scale[i];
    }

    vPosition = p;
    vNormal = normalize(n);
    vEye = eyePosition.xyz - p;
    // Round waves (no choppiness) break less than sharp ones.
    vCrest = crest / 1.85 * (0.4 + 0.6 * clamp(choppiness, 0.0, 1.0));
    gl_Position = worldViewProj * vec4(p, 1.0);
}
