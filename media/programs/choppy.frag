#version 120
// Lit water with foam on the crests and the sky in the water at grazing angles.

uniform vec4 lightDirection;   // light position, object space (w 0 for a direction)
uniform vec4 waterColour;
uniform vec4 foamColour;
uniform float foamThreshold;   // crest level where foam begins
uniform float shininess;       // glint exponent
uniform samplerCube skyMap;

varying vec3 vPosition;
varying vec3 vNormal;
varying vec3 vEye;
varying float vCrest;

void main()
{
    vec3 n = normalize(vNormal);
    vec3 v = normalize(vEye);
    vec3 l = normalize(lightDirection.xyz - vPosition * lightDirection.w);

    float diffuse = max(dot(n, l), 0.0);
    vec3 water = waterColour.rgb * (0.45 + 0.55 * diffuse);
    float fresnel = pow(1.0 - clamp(dot(n, v), 0.0, 1.0), 4.0) * 0.7;
    vec3 sky = textureCube(skyMap, reflect(-v, n)).rgb;
    vec3 colour = mix(water, sky, fresnel);

    float foam = smoothstep(foamThreshold, foamThreshold + 0.2, vCrest);
    colour = mix(colour, foamColour.rgb, foam * foamColour.a);
    colour += vec3(pow(max(dot(n, normalize(l + v)), 0.0), shininess) * 0.5);

    gl_FragColor = vec4(colour, 1.0);
}
