#version 120
// Water colour between shallow (seen at a grazing angle) and deep (seen from
// above), the sky reflected by a fresnel term, and a sun glint.

uniform vec4 lightDirection;      // light position, object space (w 0 for a direction)
uniform vec4 deepColour;
uniform vec4 shallowColour;
uniform float fresnelPower;       // higher: reflection only near the horizon
uniform float reflectionStrength; // 0 no sky in the water, 1 full mirror at grazing angles
uniform float specularStrength;
uniform samplerCube skyMap;

varying vec3 vPosition;
varying vec3 vNormal;
varying vec3 vEye;

void main()
{
    vec3 v = normalize(vEye);
    // Small fixed ripples break up the coarse vertex normals; they fade with
    // distance before they get finer than a pixel.
    vec3 ripple = vec3(sin(vPosition.x * 0.35 + vPosition.z * 0.15), 0.0,
                       cos(vPosition.z * 0.4 - vPosition.x * 0.12));
    float near = clamp(1.0 - length(vEye) / 250.0, 0.0, 1.0);
    vec3 n = normalize(normalize(vNormal) + 0.05 * near * ripple);
    vec3 l = normalize(lightDirection.xyz - vPosition * lightDirection.w);

    float facing = clamp(dot(n, v), 0.0, 1.0);
    float fresnel = clamp(pow(1.0 - facing, fresnelPower) * reflectionStrength, 0.0, 1.0);
    vec3 water = mix(shallowColour.rgb, deepColour.rgb, facing);
    vec3 sky = textureCube(skyMap, reflect(-v, n)).rgb;
    float glint = pow(max(dot(n, normalize(l + v)), 0.0), 120.0) * specularStrength;

    gl_FragColor = vec4(mix(water, sky, fresnel) + vec3(glint), 1.0);
}
