// Electron Forge: the parts of an Electron launcher's configuration that korvessa-launcher-kit
// needs. A program cannot be started from inside app.asar, so the service the kit carries is
// unpacked beside it, to resources/app.asar.unpacked/node_modules/korvessa-launcher-kit/service/,
// which is where defaultServicePath() (and so Sidecar.start() without servicePath) looks for it
// in the packaged app.
//
// With Forge's Webpack or Vite plugin, the kit must reach the packaged app as a module of its own
// in node_modules, not bundled into the main process's code: it finds its service beside its
// own files.
module.exports = {
  packagerConfig: {
    asar: {
      unpack: '**/node_modules/korvessa-launcher-kit/service/**',
    },
  },
  makers: [
    { name: '@electron-forge/maker-squirrel', config: {} },
    { name: '@electron-forge/maker-deb', config: {} },
  ],
};
