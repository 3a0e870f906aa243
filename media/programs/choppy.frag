#version 120
// Lit water under the sky: darker and bluer seen from above, lighter and
// greener at a grazing angle, the sky in it by the fresnel term of water,
// foam only on the sharpest crests, and a tight glint of the light.

uniform vec4 lightDirection;   // light position, object space (w 0 for a direction)
uniform vec4 lightSpecular;    // the light's specular colour
uniform vec4 waterColour;
uniform vec4 foamColour;       // alpha: how much foam covers where it forms
uniform float foamThreshold;   // crest sharpness where foam begins (0 .. 1)
uniform float shininess;       // glint exponent
uniform samplerCube skyMap;

varying vec3 vPosition;
varying vec3 vNormal;
varying vec3 vEye;
varying float vCrest;          // crest sharpness, 0 .. 1

// Reflectance of water seen head-on; the rest of Schlick's approximation
// brings it to 1 at a grazing angle.
const float kWaterReflectance = 0.02;
// Even at a grazing angle the rough surface mirrors only part of the sky.
const float kMaxReflection = 0.75;

void main()
{
    vec3 n = normalize(vNormal);
    vec3 v = normalize(vEye);
    vec3 l = normalize(lightDirection.xyz - vPosition * lightDirection.w);

    float facing = clamp(dot(n, v), 0.0, 1.0);
    float diffuse = max(dot(n, l), 0.0);
    vec3 deep = waterColour.rgb * (0.55 + 0.45 * diffuse);
    vec3 shallow = deep * vec3(1.0, 1.6, 1.4) + vec3(0.0, 0.05, 0.05);
    vec3 water = mix(shallow, deep, facing);

    float fresnel = kWaterReflectance + (1.0 - kWaterReflectance) * pow(1.0 - facing, 5.0);
    vec3 sky = textureCube(skyMap, reflect(-v, n)).rgb;
    vec3 colour = mix(water, sky, fresnel * kMaxReflection);

    // The glint lies on the water only where the light reaches it; foam
    // scatters it.
    float foam = smoothstep(foamThreshold, foamThreshold + 0.15, vCrest) * foamColour.a;
    float glint = diffuse > 0.0 ? pow(max(dot(n, normalize(l + v)), 0.0), shininess) : 0.0;
    colour += lightSpecular.rgb * glint * (1.0 - foam);
    colour = mix(colour, foamColour.rgb * (0.65 + 0.35 * diffuse), foam);

    gl_FragColor = vec4(colour, 1.0);
}
