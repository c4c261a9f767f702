// Electron Forge: the parts of an Electron launcher's configuration that korvessa-launcher-kit
// needs, whether or not the main process is bundled.
//
// Not bundled, the kit reaches the packaged app in node_modules. A program cannot be started
// from inside app.asar, so the service the kit carries is unpacked beside it, to
// resources/app.asar.unpacked/node_modules/korvessa-launcher-kit/service/, which is where
// defaultServicePath() (and so Sidecar.start() without servicePath) looks first.
//
// With Forge's Vite or webpack plugin, the kit is bundled into the main process and Forge ships
// only the bundle: the service goes into the app's resources folder as an extra resource, which
// is where defaultServicePath() looks next (process.resourcesPath). Keep the entry that fits
// the app; both together ship the program twice. Forge packages for the platform it runs on.
const service =
  process.platform === 'win32'
    ? 'node_modules/korvessa-launcher-kit/service/win32-x64/korvessa-client-services.exe'
    : 'node_modules/korvessa-launcher-kit/service/linux-x64/korvessa-client-services';

module.exports = {
  packagerConfig: {
    asar: {
      unpack: '**/node_modules/korvessa-launcher-kit/service/**', // the kit not bundled
    },
    extraResource: [service], // the kit bundled
  },
  makers: [
    { name: '@electron-forge/maker-squirrel', config: {} },
    { name: '@electron-forge/maker-deb', config: {} },
  ],
};
