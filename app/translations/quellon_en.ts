<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>BatchStatus</name>
    <message>
        <source>已完成 %1/%2</source>
        <translation>Done %1/%2</translation>
    </message>
    <message>
        <source>，失败 %1</source>
        <translation>, failed %1</translation>
    </message>
    <message>
        <source>，已是最新 %1</source>
        <translation>, up to date %1</translation>
    </message>
    <message>
        <source> · %1% · 已用 %2</source>
        <translation> · %1% · elapsed %2</translation>
    </message>
    <message>
        <source> · 剩余约 %1</source>
        <translation> · about %1 left</translation>
    </message>
    <message>
        <source> · 正在估算剩余时间</source>
        <translation> · estimating time left</translation>
    </message>
    <message>
        <source> · 已暂停</source>
        <translation> · paused</translation>
    </message>
    <message>
        <source>%1 个完成</source>
        <translation>%1 done</translation>
    </message>
    <message>
        <source>（%1 个源文件损坏）</source>
        <translation> (%1 from damaged sources)</translation>
    </message>
    <message>
        <source>，%1 个失败</source>
        <translation>, %1 failed</translation>
    </message>
    <message>
        <source>，%1 个已是最新</source>
        <translation>, %1 up to date</translation>
    </message>
    <message>
        <source>已停止：%1，%2 个未转换</source>
        <translation>Stopped: %1, %2 not converted</translation>
    </message>
</context>
<context>
    <name>OpenFileFilter</name>
    <message>
        <source>所有支持的格式 (%1)</source>
        <translation>All supported formats (%1)</translation>
    </message>
    <message>
        <source>CUE 分轨 (*.cue)</source>
        <translation>Cue sheet tracks (*.cue)</translation>
    </message>
    <message>
        <source>所有文件 (*)</source>
        <translation>All files (*)</translation>
    </message>
</context>
<context>
    <name>ReasonText</name>
    <message>
        <source>转换完成</source>
        <translation>Converted</translation>
    </message>
    <message>
        <source>转换被停止</source>
        <translation>The conversion was stopped</translation>
    </message>
    <message>
        <source>找不到源文件</source>
        <translation>Source file not found</translation>
    </message>
    <message>
        <source>没有读取源文件的权限</source>
        <translation>No permission to read the source file</translation>
    </message>
    <message>
        <source>源不是普通文件（是文件夹、管道或设备）</source>
        <translation>The source is not a regular file (it is a folder, pipe or device)</translation>
    </message>
    <message>
        <source>源文件是空的（0 字节）</source>
        <translation>The source file is empty (0 bytes)</translation>
    </message>
    <message>
        <source>源文件在添加后被更改或替换，请重新添加</source>
        <translation>The source file was changed or replaced after it was added; add it again</translation>
    </message>
    <message>
        <source>无法识别源文件的格式，或文件头已损坏</source>
        <translation>The source file&apos;s format is not recognised, or its header is damaged</translation>
    </message>
    <message>
        <source>源文件中没有可解码的声音或画面</source>
        <translation>Nothing could be decoded from the source: no sound or picture</translation>
    </message>
    <message>
        <source>源文件已损坏，已转换可读取的部分</source>
        <translation>The source file is damaged; what could be read was converted</translation>
    </message>
    <message>
        <source>源文件比其标明的长度短，已转换现有的部分</source>
        <translation>The source file is shorter than the length it states; what it holds was converted</translation>
    </message>
    <message>
        <source>无法创建输出文件，请检查输出文件夹及其权限</source>
        <translation>The output file cannot be created; check the output folder and its permissions</translation>
    </message>
    <message>
        <source>写入输出文件失败</source>
        <translation>Writing the output file failed</translation>
    </message>
    <message>
        <source>磁盘空间不足</source>
        <translation>The disk is full</translation>
    </message>
    <message>
        <source>输出文件名太长，文件系统不接受</source>
        <translation>The output file name is too long for the file system</translation>
    </message>
    <message>
        <source>转换设置中有编码器不接受的选项或值</source>
        <translation>A setting has an option or value the encoder does not accept</translation>
    </message>
    <message>
        <source>无法打开编码器或解码器</source>
        <translation>An encoder or decoder could not be opened</translation>
    </message>
    <message>
        <source>所选的片段超出了源文件的范围</source>
        <translation>The chosen clip lies outside the source</translation>
    </message>
    <message>
        <source>没有可转换的声音（或只是一张图片）</source>
        <translation>Nothing to convert: no sound (or only a picture)</translation>
    </message>
    <message>
        <source>转换时发生内部错误</source>
        <translation>An internal error occurred during the conversion</translation>
    </message>
    <message>
        <source>CUE 文件无法使用</source>
        <translation>The cue sheet cannot be used</translation>
    </message>
    <message>
        <source>在 %1 处读取出错，已转换到该处</source>
        <translation>read error at %1: converted up to there</translation>
    </message>
    <message>
        <source>在 %1 处丢失 %2 秒</source>
        <translation>%2 s lost at %1</translation>
    </message>
    <message>
        <source>源文件在 %1 处结束（标明的长度为 %2）</source>
        <translation>the source ends at %1 of the %2 it states</translation>
    </message>
    <message>
        <source>；</source>
        <translation>; </translation>
    </message>
    <message>
        <source>源文件不完整：%1</source>
        <translation>Source file incomplete: %1</translation>
    </message>
    <message>
        <source>源文件已损坏：%1</source>
        <translation>Source file damaged: %1</translation>
    </message>
    <message numerus="yes">
        <source>跳过 %n 个损坏的数据包</source>
        <translation>
            <numerusform>%n damaged packet skipped</numerusform>
            <numerusform>%n damaged packets skipped</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>TFrm_About</name>
    <message>
        <source>关于我们</source>
        <translation>About</translation>
    </message>
    <message>
        <source>+86 10 5550 0120    传真: +86 10 5550 0121</source>
        <translation>+86 10 5550 0120    Fax: +86 10 5550 0121</translation>
    </message>
    <message>
        <source>电子信箱</source>
        <translation>E-mail</translation>
    </message>
    <message>
        <source>公司网站</source>
        <translation>Website</translation>
    </message>
    <message>
        <source>联系电话</source>
        <translation>Telephone</translation>
    </message>
    <message>
        <source>确定(&amp;0)</source>
        <translation>&amp;OK</translation>
    </message>
</context>
<context>
    <name>TFrm_set</name>
    <message>
        <source>参数设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>单声道</source>
        <translation>Mono</translation>
    </message>
    <message>
        <source>立体声</source>
        <translation>Stereo</translation>
    </message>
    <message>
        <source>声道</source>
        <translation>Channels</translation>
    </message>
    <message>
        <source>采样率(HZ)</source>
        <translation>Sample rate (Hz)</translation>
    </message>
    <message>
        <source>当前比特率</source>
        <translation>Bit rate</translation>
    </message>
    <message>
        <source>参数信息</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>同时转换的文件数</source>
        <translation>Files converted at once</translation>
    </message>
    <message>
        <source>长文件分段并行编码（用上空闲的处理器核心）</source>
        <translation>Encode long files in parallel chunks (uses idle processor cores)</translation>
    </message>
    <message>
        <source>只转换新的或已更改的文件</source>
        <translation>Convert only new or changed files</translation>
    </message>
    <message>
        <source>输出文件夹中已由此方式生成、源文件和设置都未改变的文件保持不变；更改过的源文件重新转换并替换其旧的输出，不会替换您自己的文件</source>
        <translation>Files in the output folder made this way whose source and settings have not changed are left as they are; changed sources are converted again and replace their earlier output, never a file of your own</translation>
    </message>
    <message>
        <source>删除源文件已不存在的输出文件</source>
        <translation>Delete outputs whose source no longer exists</translation>
    </message>
    <message>
        <source>转换结束后删除由同步生成、其源文件已从所添加的文件夹中删除的输出文件（生成后被修改过的文件保留）</source>
        <translation>After the conversion, deletes the outputs made by sync whose source was removed from the added folder (files changed since they were made are kept)</translation>
    </message>
    <message>
        <source>跟随系统</source>
        <translation>Follow system</translation>
    </message>
    <message>
        <source>重新启动程序后生效</source>
        <translation>Takes effect when the program is restarted</translation>
    </message>
    <message>
        <source>语言</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>转换</source>
        <translation>Conversion</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>TMusicPage</name>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>无封面时使用文件夹中的 folder.jpg / cover.jpg</source>
        <translation>Without a cover, use folder.jpg / cover.jpg from the folder</translation>
    </message>
    <message>
        <source>输出文件保留源文件的修改时间</source>
        <translation>Give outputs the modification time of their source</translation>
    </message>
    <message>
        <source>响度标准化 (EBU R128，真峰值不超过 -1 dBTP)</source>
        <translation>Normalize loudness (EBU R128, true peak at most -1 dBTP)</translation>
    </message>
    <message>
        <source>写入 ReplayGain 标签 (不改变音频)</source>
        <translation>Write ReplayGain tags (audio unchanged)</translation>
    </message>
    <message>
        <source>同一文件夹的文件作为专辑 (专辑增益)</source>
        <translation>Files of one folder form an album (album gain)</translation>
    </message>
    <message>
        <source>标签中 GBK、Big5 等旧编码的文字按此读取；自动：逐个文件识别</source>
        <translation>Tag text in legacy encodings such as GBK or Big5 is read as this; Auto: detected for each file</translation>
    </message>
    <message>
        <source>使用 CUE 分轨</source>
        <translation>Split by cue sheet</translation>
    </message>
    <message>
        <source>CUE 文件及带 CUE 的整轨文件按音轨添加，每轨输出一个文件；对之后添加的文件生效</source>
        <translation>Cue sheets and disc images with a cue sheet are added as their tracks, one output file per track; applies to files added from now on</translation>
    </message>
    <message>
        <source>音轨间隙放在下一轨开头</source>
        <translation>Put gaps between tracks at the start of the next track</translation>
    </message>
    <message>
        <source>INDEX 00 到 INDEX 01 之间的间隙归入下一轨（默认归入上一轨末尾）</source>
        <translation>The gap between INDEX 00 and INDEX 01 goes to the next track (by default it ends the previous one)</translation>
    </message>
    <message>
        <source>目标响度</source>
        <translation>Target loudness</translation>
    </message>
    <message>
        <source>标签编码</source>
        <translation>Tag encoding</translation>
    </message>
    <message>
        <source>留空：按源文件命名。字段：%1；{track:02} 补零到两位；“/” 分隔文件夹</source>
        <translation>Empty: named after the source. Fields: %1; {track:02} pads to two digits; &quot;/&quot; separates folders</translation>
    </message>
    <message>
        <source>文件名模板</source>
        <translation>File name pattern</translation>
    </message>
    <message>
        <source>同时输出 (每个文件只解码一次)</source>
        <translation>Also write (each file is decoded once)</translation>
    </message>
    <message>
        <source>勾选的格式与主窗口所选格式一起写出；指定输出文件夹时各格式写入其中的同名子文件夹 (如 mp3/、opus/)</source>
        <translation>The ticked formats are written together with the format chosen in the main window; with an output folder, each format goes into a subfolder of its name (such as mp3/, opus/)</translation>
    </message>
    <message>
        <source>音乐</source>
        <translation>Music</translation>
    </message>
    <message>
        <source>按源文件命名（name_(new).ext）</source>
        <translation>Named after the source (name_(new).ext)</translation>
    </message>
    <message>
        <source>模板无效：%1</source>
        <translation>Invalid pattern: %1</translation>
    </message>
    <message>
        <source>预览：（列表中没有可预览的文件）</source>
        <translation>Preview: (no file in the list to preview)</translation>
    </message>
    <message>
        <source>预览：%1</source>
        <translation>Preview: %1</translation>
    </message>
    <message>
        <source>更多格式</source>
        <translation>More</translation>
    </message>
</context>
<context>
    <name>TQualityPage</name>
    <message>
        <source>默认</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>AAC (质量 q / 比特率)</source>
        <translation>AAC (quality q / bit rate)</translation>
    </message>
    <message>
        <source>M4A (质量 q / 比特率)</source>
        <translation>M4A (quality q / bit rate)</translation>
    </message>
    <message>
        <source>Vorbis (质量 q-1 至 q10)</source>
        <translation>Vorbis (quality q-1 to q10)</translation>
    </message>
    <message>
        <source>Opus (比特率:vbr/cvbr/cbr)</source>
        <translation>Opus (bit rate:vbr/cvbr/cbr)</translation>
    </message>
    <message>
        <source>FLAC (压缩级别)</source>
        <translation>FLAC (compression level)</translation>
    </message>
    <message>
        <source>OGG (FLAC, 压缩级别)</source>
        <translation>OGG (FLAC, compression level)</translation>
    </message>
    <message>
        <source>MP2 (比特率)</source>
        <translation>MP2 (bit rate)</translation>
    </message>
    <message>
        <source>WMA (比特率)</source>
        <translation>WMA (bit rate)</translation>
    </message>
    <message>
        <source>V0-V9: MP3 VBR; 192k: 比特率; 96k:vbr/cvbr/cbr: Opus; q5: 编码器质量; level8: FLAC 压缩级别</source>
        <translation>V0-V9: MP3 VBR; 192k: bit rate; 96k:vbr/cvbr/cbr: Opus; q5: encoder quality; level8: FLAC compression level</translation>
    </message>
    <message>
        <source>按所选格式的编码器使用；编码器不接受的值在转换前被拒绝。</source>
        <translation>Used by the encoder of the chosen format; a value the encoder does not accept is refused before converting.</translation>
    </message>
    <message>
        <source>音质</source>
        <translation>Quality</translation>
    </message>
</context>
<context>
    <name>TfrmMain</name>
    <message>
        <source>文件名称</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Length</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>输出名称</source>
        <translation>Output name</translation>
    </message>
    <message>
        <source>进程</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>转换时间</source>
        <translation>Converted</translation>
    </message>
    <message>
        <source>输出大小</source>
        <translation>Output size</translation>
    </message>
    <message>
        <source>输出格式：</source>
        <translation>Format:</translation>
    </message>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>清空</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>上移</source>
        <translation>Up</translation>
    </message>
    <message>
        <source>下移</source>
        <translation>Down</translation>
    </message>
    <message>
        <source>参数设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>输出路径：</source>
        <translation>Output:</translation>
    </message>
    <message>
        <source>浏览路径</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>转换</source>
        <translation>Convert</translation>
    </message>
    <message>
        <source>是否启用线程模式</source>
        <translation>Thread mode</translation>
    </message>
    <message>
        <source>设置开始</source>
        <translation>Set start</translation>
    </message>
    <message>
        <source>设置结束</source>
        <translation>Set end</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>添加文件</source>
        <translation>Add files</translation>
    </message>
    <message>
        <source>添加文件夹</source>
        <translation>Add folder</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>动作</source>
        <translation>Action</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>关于我们</source>
        <translation>About</translation>
    </message>
    <message>
        <source>帮助文件</source>
        <translation>Help file</translation>
    </message>
    <message>
        <source>无法载入媒体库，不能添加文件。
%1</source>
        <translation>The media libraries cannot be loaded; no files can be added.
%1</translation>
    </message>
    <message>
        <source>无法读取文件夹：%1</source>
        <translation>Cannot read the folder: %1</translation>
    </message>
    <message>
        <source>音质设置无法使用：
%1</source>
        <translation>The quality setting cannot be used:
%1</translation>
    </message>
    <message>
        <source>%1% (损坏)</source>
        <translation>%1% (damaged)</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>已停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>已是最新</source>
        <translation>Up to date</translation>
    </message>
    <message>
        <source>正在转换。要停止当前的转换，从头重新转换全部文件吗？</source>
        <translation>A conversion is running. Stop it and convert all files again from the start?</translation>
    </message>
    <message>
        <source>列表中的文件都已转换。要重新转换全部文件吗？</source>
        <translation>Every file in the list is converted already. Convert all files again?</translation>
    </message>
    <message>
        <source>无法载入媒体库，不能转换文件。
%1</source>
        <translation>The media libraries cannot be loaded; no files can be converted.
%1</translation>
    </message>
    <message>
        <source>转换设置无法使用，没有开始转换。
%1</source>
        <translation>The settings cannot be used; nothing was converted.
%1</translation>
    </message>
    <message>
        <source>转换结束：%1</source>
        <translation>Conversion finished: %1</translation>
    </message>
    <message>
        <source> · 正在添加文件</source>
        <translation> · adding files</translation>
    </message>
    <message>
        <source>正在添加文件（%1 个），添加完后开始转换</source>
        <translation>Adding files (%1); the conversion starts once they are added</translation>
    </message>
    <message>
        <source>正在添加文件（%1 个）</source>
        <translation>Adding files (%1)</translation>
    </message>
    <message>
        <source>。按“转换”转换其余的文件</source>
        <translation>. Press &quot;Convert&quot; to convert the remaining files</translation>
    </message>
    <message>
        <source>查看失败的文件</source>
        <translation>Show failed files</translation>
    </message>
    <message>
        <source>停止转换（Esc）：正在转换的文件被删除，其余的文件留在列表中</source>
        <translation>Stop converting (Esc): the files being converted are deleted, the others stay in the list</translation>
    </message>
    <message>
        <source>开始转换（F5 或 Enter）</source>
        <translation>Start converting (F5 or Enter)</translation>
    </message>
    <message>
        <source>（空）保存在源文件所在的文件夹</source>
        <translation>(empty) saved in each source file&apos;s folder</translation>
    </message>
    <message>
        <source>不用输出文件夹：保存在源文件所在的文件夹</source>
        <translation>No output folder: save in each source file&apos;s folder</translation>
    </message>
    <message>
        <source>选择输出文件夹</source>
        <translation>Choose the output folder</translation>
    </message>
    <message numerus="yes">
        <source>文件夹中没有可转换的文件：%1
（跳过 %n 个无法转换的文件）</source>
        <translation>
            <numerusform>The folder holds no file to convert: %1
(%n file that cannot be converted skipped)</numerusform>
            <numerusform>The folder holds no file to convert: %1
(%n files that cannot be converted skipped)</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>已添加 %n 个文件</source>
        <translation>
            <numerusform>%n file added</numerusform>
            <numerusform>%n files added</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>，跳过 %n 个无法转换的文件</source>
        <translation>
            <numerusform>, %n file that cannot be converted skipped</numerusform>
            <numerusform>, %n files that cannot be converted skipped</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>；列表中共 %n 个文件</source>
        <translation>
            <numerusform>; %n file in the list</numerusform>
            <numerusform>; %n files in the list</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>列表中共 %n 个文件</source>
        <translation>
            <numerusform>%n file in the list</numerusform>
            <numerusform>%n files in the list</numerusform>
        </translation>
    </message>
    <message>
        <source>文件夹</source>
        <translation>Folder</translation>
    </message>
    <message>
        <source>无法播放：%1</source>
        <translation>Cannot play: %1</translation>
    </message>
    <message>
        <source>无损：Ogg 封装的 FLAC（文件较大）</source>
        <translation>Lossless: FLAC in Ogg (larger files)</translation>
    </message>
    <message>
        <source>正在转换。关闭窗口会停止转换，正在转换的文件不会保存。</source>
        <translation>Converting. Closing the window stops the conversion; the files being converted are not kept.</translation>
    </message>
    <message>
        <source>停止并关闭</source>
        <translation>Stop and close</translation>
    </message>
    <message>
        <source>继续转换</source>
        <translation>Keep converting</translation>
    </message>
    <message>
        <source>正在转换。清空列表会停止转换，正在转换的文件不会保存。</source>
        <translation>Converting. Clearing the list stops the conversion; the files being converted are not kept.</translation>
    </message>
    <message>
        <source>停止并清空</source>
        <translation>Stop and clear</translation>
    </message>
    <message>
        <source>找不到帮助文件：%1</source>
        <translation>The help file is missing: %1</translation>
    </message>
    <message>
        <source>没有能打开帮助文件的浏览器。帮助文件在：
%1</source>
        <translation>No browser could open the help file. It is here:
%1</translation>
    </message>
    <message>
        <source>没有找到声音输出设备，预览听不到声音。请接上或打开声音设备后再按 ▶。</source>
        <translation>No sound output device was found, so the preview is silent. Connect or turn on a sound device, then press ▶ again.</translation>
    </message>
    <message>
        <source>列表中没有文件。请先按“添加”添加要转换的文件。</source>
        <translation>The list is empty. Press “Add” first to add the files to convert.</translation>
    </message>
    <message>
        <source>有损：Ogg Vorbis（文件较小）</source>
        <translation>Lossy: Ogg Vorbis (smaller files)</translation>
    </message>
</context>
<context>
    <name>TfrmSkipped</name>
    <message>
        <source>跳过的文件</source>
        <translation>Skipped files</translation>
    </message>
    <message>
        <source>文件名称</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>文件夹</source>
        <translation>Folder</translation>
    </message>
    <message>
        <source>原因</source>
        <translation>Reason</translation>
    </message>
    <message>
        <source>跳过的文件（%1 个）</source>
        <translation>Skipped files (%1)</translation>
    </message>
</context>
</TS>
